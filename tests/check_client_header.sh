#!/usr/bin/env bash
# The installed header stands alone in strict C99 and C11, and as C++.
set -u
top=${1:-.}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '#include <kesta_gps_client.h>\nint f(void) { struct kesta_gps_fix x; x.sent.tv_sec = 0; return (int)x.sent.tv_sec; }\n' >"$tmp/t.c"
status=0
for std in c99 c11; do
  cc -std=$std -pedantic -Wall -Wextra -Werror -I"$top/client" -c "$tmp/t.c" -o "$tmp/t.o" || { echo "fails as $std"; status=1; }
done
c++ -std=c++11 -pedantic -Wall -Wextra -Werror -x c++ -I"$top/client" -c "$tmp/t.c" -o "$tmp/t.o" || { echo "fails as C++11"; status=1; }
exit $status
