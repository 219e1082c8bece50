#!/usr/bin/env bash
# The driver library defines VpiMain and no other dynamic symbol, and takes
# err and the ten Kor5 functions from the host runtime under its version.
set -euo pipefail
lib="$1"
defined=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$defined" != "VpiMain" ]; then
  echo "expected VpiMain alone among the defined symbols, found:"; echo "$defined"; exit 1
fi
imports=$(nm -D --undefined-only "$lib" | awk '{print $2}')
for name in err Kor5GetGateId Kor5MkClient Kor5RqGateMsg Kor5WaitMsg Kor5RmClient Kor5PutGateVal \
            Kor5StartAlert Kor5VfiOpen Kor5VfiRead Kor5VfiClose; do
  if ! grep -qx "${name}@KORPRO_1" <<<"$imports"; then
    # A host function that the driver does not call is simply not imported.
    if grep -q "^${name}@" <<<"$imports" || grep -qx "$name" <<<"$imports"; then
      echo "$name is imported without the host runtime's version"; exit 1
    fi
  fi
done
grep -qx 'err@KORPRO_1' <<<"$imports" || { echo "err is not imported from the host runtime"; exit 1; }
if nm -D --undefined-only "$lib" | awk '{print $2}' | grep -v -E '@(KORPRO_1|GLIBC_|GLIBCXX_|CXXABI_|GCC_)' \
     | grep -v -E '^(_ITM_|__gmon_start__|__cxa_finalize)' | grep -q .; then
  echo "unexpected imports:"; nm -D --undefined-only "$lib"; exit 1
fi
readelf -d "$lib" | grep -q 'NEEDED.*libkorpro.so' || { echo "no dependency on the host runtime"; exit 1; }
echo "exports ok: VpiMain alone; host functions imported from KORPRO_1"
