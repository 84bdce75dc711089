#!/bin/sh
# The shared library exports the MSK_ functions and nothing else.
library="$1"
symbols=$(nm -D --defined-only "$library" | awk '{print $3}')
count=$(printf '%s\n' "$symbols" | grep -c '^MSK_')
others=$(printf '%s\n' "$symbols" | grep -v '^MSK_' | grep -v '^$')
if [ -n "$others" ]; then
    echo "symbols exported besides MSK_ ones:"; printf '%s\n' "$others"; exit 1
fi
if [ "$count" -lt 1 ]; then echo "no MSK_ symbols exported"; exit 1; fi
echo "$count MSK_ symbols, nothing else"
