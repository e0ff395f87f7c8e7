#!/bin/sh
# Compiles the C# declarations with DeclarationsCheck.cs by Mono's mcs and
# runs the check against the library in LIBRARY_DIR.
#   run_check.sh MCS MONO OUT_DIR LIBRARY_DIR HOST CORE CONTENT
set -e
mcs=$1 mono=$2 out=$3 library_dir=$4
shift 4
here=$(dirname "$0")
mkdir -p "$out"
"$mcs" -nologo -out:"$out/DeclarationsCheck.exe" "$here/../../../client/csharp/KalmoClient.cs" "$here/DeclarationsCheck.cs"
LD_LIBRARY_PATH="$library_dir" exec "$mono" "$out/DeclarationsCheck.exe" "$1" "$2" "$3" "$out"
