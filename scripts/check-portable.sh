#!/usr/bin/env bash
# Checks that Linux binaries start on every maintained mainstream distribution (Ubuntu
# 20.04, Debian 11, Fedora 32 and later): none of the symbols they need has a glibc
# version above 2.31, and the libraries they need (DT_NEEDED) are glibc's own; and that an
# arm64 one keeps the conversion bit-exact.
#   scripts/check-portable.sh BINARY...
# readelf reads any architecture's ELF files, llvm-objdump disassembles them.
set -euo pipefail
newest_glibc=2.31

status=0
for binary; do
  # The undefined dynamic symbols, as NAME@GLIBC_X.Y (or NAME@@ once defined).
  symbols=$(readelf -W --dyn-syms "$binary" | awk '$7 == "UND" && $8 ~ /@GLIBC_/ { print $8 }')
  newest=$(awk -F@GLIBC_ '{ print $2 }' <<<"$symbols" | sort -uV | tail -n1)
  needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)
  echo "$binary: glibc $newest at most; needs $needed"
  above=$( (echo "$newest_glibc" && awk -F@GLIBC_ '{ print $2 }' <<<"$symbols") | sort -uV |
          sed "1,/^${newest_glibc//./\\.}\$/d")
  for version in $above; do
    echo "$binary needs glibc $version, above $newest_glibc, for:" \
      "$(awk -F@GLIBC_ -v v="$version" '$2 == v { print $1 }' <<<"$symbols" | xargs)" >&2
    status=1
  done
  # Every arm64 CPU has fused multiply-adds, which would round a conversion's product and
  # sum once: none may be in the code (-ffp-contract=off).
  if readelf -h "$binary" | grep -q 'Machine: *AArch64'; then
    fused=$(llvm-objdump -d "$binary" |
            grep -cE $'\t(fmadd|fmsub|fnmadd|fnmsub|fmla|fmls)\t' || true)
    [ "$fused" = 0 ] || { echo "$binary has $fused fused multiply-add instructions" >&2; status=1; }
  fi
  for library in $needed; do
    case $library in
      libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1) ;;
      ld-linux-x86-64.so.2 | ld-linux-aarch64.so.1) ;;
      *) echo "$binary needs $library, which is not glibc's" >&2; status=1 ;;
    esac
  done
done
exit "$status"
