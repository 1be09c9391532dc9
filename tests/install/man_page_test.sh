#!/usr/bin/env bash
# The man page renders without a warning from man or groff (all of groff's warnings
# enabled), and holds its sections.
# Usage: man_page_test.sh <tavo.1>; exits 77 ("skipped") where man is missing.
set -uo pipefail
page=$1
if ! command -v man >/dev/null || ! command -v groff >/dev/null; then
  echo "skipped: man or groff not installed (tools/install-deps installs man-db, groff-base)"
  exit 77
fi
warnings=$(MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "$warnings"
  echo "FAILED: man reports the above for $page"
  exit 1
fi
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
status=0
for section in NAME SYNOPSIS DESCRIPTION "COM PORTS ON LINUX" "WHAT THE BOARD CAN ASK OF THE HOST" \
  "EXIT STATUS" ENVIRONMENT EXAMPLES "SEE ALSO"; do
  if ! grep -q "^$section\$" <<<"$text"; then
    echo "FAILED: no $section section"
    status=1
  fi
done
exit $status
