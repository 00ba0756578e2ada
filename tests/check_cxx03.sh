#!/usr/bin/env bash
# The service's own sources must also build with the target's pre-C++11
# toolchain: check each of them, and the platform header, as C++03.
set -u
top=${1:-.}
cd "$top" || exit 1
status=0
count=0
for f in app/platform/platform.h app/*.h app/*.cpp serial/*.h serial/*.cpp nmea/*.h nmea/*.cpp \
         clock/*.h clock/*.cpp ubx/*.h ubx/*.cpp; do
  [ -e "$f" ] || continue
  count=$((count + 1))
  if ! ${CXX:-g++} -std=c++03 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -x c++ "$f"; then
    echo "not C++03: $f"
    status=1
  fi
done
echo "checked $count files as C++03"
exit $status
