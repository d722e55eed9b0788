# Sourced by the scripts that build and run the tests: chooses the architecture
# of the Windows build that runs under Wine here. The product is 32-bit, and
# so is the test build wherever this machine can run 32-bit programs; a kernel
# with ia32 emulation switched off runs no 32-bit program, Wine's 32-bit half
# included, and there the test build is 64-bit (the same sources). QRV_ARCH
# set by the caller wins.
if [ -z "${QRV_ARCH:-}" ]; then
    if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
        QRV_ARCH=i686
    else
        QRV_ARCH=x86_64
    fi
fi
export QRV_ARCH
