#!/usr/bin/env bash
work=$1
cat "$work/console.txt" | grep -v '^[A-Za-z0-9+/=]*$' ; echo ---; cat "$work/finder.out"; echo ---; cat "$work/finder.err"; echo ---; cat "$work/report.json"; cat "$work/host-speeds.txt"
