// Scratch directories, whole-file I/O and running orvale as a process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kvxwrite.h"
#include "streams/output.h"

// Tests that are POSIX by nature (FIFOs, pipes, signals, terminals, /dev/full,
// links, the preloaded fault shim, running as another user) are built on
// POSIX systems only; every other test runs everywhere.
#if defined(_WIN32)
#define ORVALE_POSIX_TESTS 0
#else
#define ORVALE_POSIX_TESTS 1
#endif

namespace testing_support {

using kvx::Bytes;

// A fresh directory, removed with everything in it when the object goes.
class ScratchDir {
 public:
  // Under `parent`, or the system's temporary folder.
  explicit ScratchDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path());
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  [[nodiscard]] std::string path(const std::string& name) const;

 private:
  std::filesystem::path root_;
};

void write_file(const std::string& path, const Bytes& bytes);
// Opens `path` for `output` to write from its start, creating it if need be.
[[nodiscard]] bool open_output(orvale::Output& output, const std::string& path);
[[nodiscard]] Bytes read_file(const std::string& path);
// The file's bytes as a string.
[[nodiscard]] std::string slurp(const std::string& path);
[[nodiscard]] bool exists(const std::string& path);
// What the file takes on its disk, room reserved past its end included.
[[nodiscard]] std::uint64_t allocated_bytes(const std::string& path);

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;        // exit status, or -1 when the child did not exit normally
  int signal = 0;         // the signal that ended the child, if one did
  long peak_rss_kib = 0;  // the child's peak resident set
};

// How a child process is started, beyond its arguments.
struct Launch {
  std::string directory;                  // working directory, when not empty
  std::vector<int> closed;                // standard descriptors left closed
  std::uint64_t file_size_limit = 0;      // RLIMIT_FSIZE in bytes, when not 0
  std::uint64_t address_space_limit = 0;  // RLIMIT_AS in bytes, when not 0
  bool unprivileged = false;              // run as nobody (uid and gid 65534), orvale from a copy
  std::vector<std::string> environment;   // NAME=value added to the child's
  std::vector<int> ignored_signals;       // set to SIG_IGN, as a shell does for a background job
  std::string input;                      // standard input read from this file, when not empty
};

// A child process started and not yet waited for; its stdout and stderr go to
// files until finish() reads them.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, const Launch& launch);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  [[nodiscard]] pid_t pid() const { return pid_; }
  // Waits for the child to end.
  [[nodiscard]] RunResult finish();

 private:
  std::unique_ptr<ScratchDir> capture_;
  pid_t pid_ = -1;
  void* process_ = nullptr;  // Windows: the process handle
};

// `word` in the quotes of the shell users type into: single for a POSIX
// shell, double for cmd and PowerShell.
[[nodiscard]] std::string quoted(const std::string& word);

// A pipe: what is written to `write_end` is read from `read_end`.
[[nodiscard]] bool make_pipe(orvale::platform::File& read_end, orvale::platform::File& write_end);

// Makes the launched program's reads of the file at `path` fail with EIO from
// byte `offset` on, `length` bytes of it (0: all), as at a bad sector, and
// again every `every` bytes when that is not 0; `how` "whole" fails every
// read that reaches in whole, "gone" fails them with ENODEV (see
// failing_io.cpp).
void fail_reads(Launch& launch, const std::string& path, std::uint64_t offset,
                std::uint64_t length = 0, const std::string& how = "", std::uint64_t every = 0);
// Makes the launched program's renames onto `path` fail with EIO.
void fail_renames_to(Launch& launch, const std::string& path);
// Holds the launched program at its rename or link onto `path` until `path`.go is
// made; it makes `path`.paused when it gets there.
void pause_renames_to(Launch& launch, const std::string& path);
// Makes the launched program's files with no name (O_TMPFILE) impossible, so
// that it writes to named temporaries as on file systems without them.
void no_unnamed_files(Launch& launch);
// Has the file at `path` cut to nothing as soon as the program maps it.
void cut_when_mapped(Launch& launch, const std::string& path);

// Runs `program` with `args`, in `directory` when it is not empty.
[[nodiscard]] RunResult run(const std::string& program, const std::vector<std::string>& args,
                            const std::string& directory = "");
[[nodiscard]] RunResult run(const std::string& program, const std::vector<std::string>& args,
                            const Launch& launch);

// The words that start the orvale binary under test: in a cross build the
// emulator's first (qemu-user, say), then the binary's path.
[[nodiscard]] const std::vector<std::string>& orvale_command();
// The same words, quoted for a /bin/sh command line.
[[nodiscard]] std::string orvale_shell_command();
// Whether the binary under test runs under an emulator.
[[nodiscard]] bool emulated();

// Runs the orvale binary under test.
[[nodiscard]] RunResult run_orvale(const std::vector<std::string>& args,
                                   const std::string& directory = "");
[[nodiscard]] RunResult run_orvale(const std::vector<std::string>& args, const Launch& launch);

// Why the binary cannot be run as nobody here (not root, or the temporary
// folder, where such runs find a copy of it, lies where nobody may not go),
// or "" when it can.
[[nodiscard]] std::string unprivileged_runs_impossible();

// A kvxavc file in memory; asserts it encodes.
[[nodiscard]] Bytes encode(const kvx::File& file);

[[nodiscard]] Bytes concat(std::initializer_list<Bytes> parts);

// Files whose extraction is known by construction: packet i (from 0) carries
// seed 0x10 * (i + 1), a video chunk of an access unit delimiter, an SEI unit
// and a slice, and two audio frames per stream.
[[nodiscard]] kvx::File av_file(std::uint32_t streams, std::size_t packets,
                                std::uint32_t format = kvx::kFormatAac);
// The video orvale writes for the packets with these seeds: their slices.
[[nodiscard]] Bytes av_videos(std::initializer_list<std::uint8_t> seeds);
// What orvale writes for stream `s` of `file` over `packets` (by number).
[[nodiscard]] Bytes av_audio(const kvx::File& file, std::uint32_t s,
                             std::initializer_list<std::size_t> packets);
// An AAC frame behind the ADTS header orvale builds for it (44100 Hz, else
// 48000), in a stream of `channels` channels (1 or 2).
[[nodiscard]] Bytes adts(const Bytes& frame, std::uint32_t rate, std::uint8_t channels = 2);
// The video and two AAC outputs of `input` that are there, by suffix
// (".264", ".0.aac", ".1.aac"), each followed by `kept` (".partial", say).
[[nodiscard]] std::map<std::string, Bytes> outputs_of(const std::string& input,
                                                      const std::string& kept = "");
// `diagnostics` without the line that names what a failed run kept.
[[nodiscard]] std::string without_kept_line(std::string diagnostics);
// ".S.aac" for stream S and extension ".aac".
[[nodiscard]] std::string stream_suffix(std::uint32_t s, const std::string& extension);

}  // namespace testing_support
