#!/usr/bin/env bash
# The manual renders without a single warning, and says the project version.
#   manpage.sh MANPAGE VERSION
set -euo pipefail
page=$1
version=$2
warnings=$(groff -man -Tutf8 -ww "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || { echo "groff warns: $warnings"; exit 1; }
warnings=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || { echo "man warns: $warnings"; exit 1; }
rendered=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION "OUTPUT FILES" DIAGNOSTICS "EXIT STATUS" EXAMPLES BUGS; do
  grep -q "^$section\$" <<<"$rendered" || { echo "no $section section"; exit 1; }
done
grep -q "orvale $version" <<<"$rendered" || { echo "version $version not shown"; exit 1; }
echo "manpage: 1 passed, 0 failed"
