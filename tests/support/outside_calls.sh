#!/bin/bash
# What a set of object files calls outside itself: each undefined symbol that
# none of them defines (an import's "__imp_" dropped), less those matching an
# allowed pattern. Lists them and fails when there is one; also fails when nm
# can't read an object.
#   outside_calls.sh <nm> <allowed ERE> <object>...
set -o pipefail
nm=$1 allowed=$2
shift 2
defined=$("$nm" -P --defined-only "$@" | awk 'NF > 1 { print $1 }' | sort -u) || exit 2
undefined=$("$nm" -P -u "$@" | awk 'NF > 1 { sub(/^__imp_/, "", $1); print $1 }' | sort -u) || exit 2
outside=$(comm -23 <(echo "$undefined") <(echo "$defined") | grep -Ev "$allowed")
if [ -n "$outside" ]; then
  echo "called outside:" $outside
  exit 1
fi
echo "$(grep -c . <<<"$undefined") undefined, none outside but the allowed"
