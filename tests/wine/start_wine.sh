#!/bin/sh
# Starts Wine once before the Wine tests: one wineserver that stays up for a
# minute after its last client, then the prefix created or brought up to
# date (about 25 s the first time), so each test's wine start takes well
# under a second. Without wine it does nothing: the tests skip.
command -v wine >/dev/null 2>&1 || { echo "wine is not installed: the Wine tests will skip"; exit 0; }
export WINEDEBUG=-all
wineserver -p60 </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
echo "wine is up"
exit 0
