#!/usr/bin/env bash
# Static analysis of the host's code: clang-tidy (checks in .clang-tidy) and cppcheck.
# Fails on any finding. Needs the native and windows builds' compile_commands.json.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
HOST=common/src/orvexWinService
CHECK=common/src/orvexcheck
PORTABLE=($HOST/HostLogic.cpp $HOST/PositionMask.cpp $HOST/ProductFile.cpp $HOST/LineReader.cpp $HOST/TextMatcher.cpp $HOST/ComponentMatcher.cpp $HOST/StartupVerification.cpp
          $CHECK/Explanation.cpp $CHECK/ExplainDefinitions.cpp $CHECK/ExplainVerdict.cpp $CHECK/ExplainNearest.cpp $CHECK/LineTexts.cpp $CHECK/ExplainTexts.cpp
          $CHECK/TextReport.cpp $CHECK/JsonWriter.cpp $CHECK/JsonReport.cpp $CHECK/InstallPaths.cpp $CHECK/main.cpp
          $CHECK/Probe.cpp $CHECK/PluginReport.cpp $CHECK/PrometheusReport.cpp $CHECK/ReportFile.cpp $CHECK/CommandLine.cpp $CHECK/Report.cpp)
# orvexcheck's main.cpp is in both lists: its Win32 part is only compiled for Windows.
WIN32=($CHECK/JsonWriter.cpp $HOST/ProductFile.cpp $HOST/EntryInstaller.cpp $HOST/ServiceContext.cpp $HOST/ServiceRuntime.cpp $HOST/StartupCheck.cpp $HOST/QuietTerminate.cpp $HOST/main.cpp
       $CHECK/main.cpp $CHECK/Probe.cpp $CHECK/ReportFile.cpp $CHECK/Refresh.cpp $HOST/StatusScriptTurn.cpp)

# clang parses the Win32 units as the 32-bit product is built: mingw-w64's headers and
# its libstdc++ are named explicitly, since clang does not find them by itself. GCC's
# own header folder is left out: its intrinsics are GCC's, and clang brings its own.
mingw_args=(--extra-arg=--target=i686-w64-mingw32)
while read -r dir; do
  mingw_args+=("--extra-arg=-isystem$dir")
done < <(echo | i686-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
         sed -n '/#include <...> search starts/,/End of search/p' | grep '^ /' | sed 's/^ //' |
         grep -Ev '^/usr/lib/gcc/[^ ]*/include(-fixed)?$')

# clang knows no -mincoming-stack-boundary (GCC's, which the 32-bit build needs): the
# Win32 units are parsed with a copy of the windows build's commands without it.
WIN_DB=$(mktemp -d)
trap 'rm -rf "$WIN_DB"' EXIT
sed 's/ -mincoming-stack-boundary=[0-9]*//g' build/windows/compile_commands.json >"$WIN_DB/compile_commands.json"

echo "== clang-tidy (portable units)"
clang-tidy --quiet -p build/native "${PORTABLE[@]}"
echo "== clang-tidy (Win32 units)"
clang-tidy --quiet -p "$WIN_DB" "${mingw_args[@]}" "${WIN32[@]}"
echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --inline-suppr \
  --enable=warning,style,performance,portability --suppress=missingIncludeSystem \
  --suppress=unusedFunction -D_WIN32 -DWINAPI= -I $HOST -I $CHECK $HOST $CHECK
echo "lint: no findings"
