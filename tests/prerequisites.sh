#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and
# this machine lacks (as root; otherwise it names what to install).
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v clang-format >/dev/null || missing+=(clang-format)
command -v clang-tidy >/dev/null || missing+=(clang-tidy)
command -v groff >/dev/null || missing+=(groff-base)
command -v clang++ >/dev/null || missing+=(clang)
# clang's sanitizer runtime.
compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a" >/dev/null ||
  missing+=(libclang-rt-dev)
command -v strace >/dev/null || missing+=(strace)
# The 32-bit build and the emulator that runs it: these kernels run no
# 32-bit programs.
for library in libstdc++.a libc.a; do
  [ "$(g++ -m32 -print-file-name=$library 2>/dev/null)" != "$library" ] || missing+=(g++-multilib)
done
command -v qemu-i386 >/dev/null || missing+=(qemu-user)
# The Debian package: checked by lintian, installed and removed with apt.
command -v lintian >/dev/null || missing+=(lintian)
command -v man >/dev/null || missing+=(man-db)
# A real server for the tests to drive.
command -v sqlite3 >/dev/null || missing+=(sqlite3)
[ ${#missing[@]} -gt 0 ] || exit 0
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "missing: ${missing[*]} (install these packages, or run as root on Debian)" >&2
  exit 1
fi
echo "installing ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" </dev/null
