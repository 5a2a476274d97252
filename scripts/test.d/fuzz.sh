#!/usr/bin/env bash
# Every fuzz target runs for a short while, so each keeps working.
exec "$(dirname "$0")/../fuzz.sh" "${BRINDLENET_FUZZ_SECONDS:-20}"
