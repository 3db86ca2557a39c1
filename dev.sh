#!/usr/bin/env bash
# Set-up, build and run for portmdl on a Debian machine. Installs what is missing, then:
#   ./dev.sh demo          build pmctl and run its demo session (no hardware, no root needed)
#   ./dev.sh test [args]   build everything and run all tests (args go to ctest, e.g. -L fast)
#   ./dev.sh install-check install the test build into a temporary prefix, build and run the
#                          examples against it, make the Debian packages and lintian them
#                          (after test)
#   ./dev.sh lib-only      build the library alone with its minimum dependencies
#   ./dev.sh asan          the tests again, built with AddressSanitizer and UBSan
#   ./dev.sh tsan          the threaded tests, built with ThreadSanitizer
#   ./dev.sh bench         build and run the benchmarks
#   ./dev.sh fuzz [SECS]   build the fuzz targets with clang and run each for SECS seconds (60)
#   ./dev.sh stress SECS [SEED] [TRANSPORT]  the model-based stress test, SECS seconds on each
#                          transport (or on TRANSPORT: tty, modem, bluetooth); SEED replays a run
#   ./dev.sh lab [--shell] [TEST...]  build, then run the lab tests (tests/lab/TEST.test.sh) in a
#                          virtual machine with real Bluetooth and USB stacks (docs/lab.md)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libudev-dev
          libcli11-dev libpng-dev chromium help2man dpkg-dev file nlohmann-json3-dev
          libbluetooth-dev libsystemd-dev dbus-daemon python3 python3-dbusmock
          python3-setuptools python3-pytest python3-venv lintian)
JOBS=$(nproc)

ensure_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}

configure() { # configure DIR [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
}

build() { # build DIR [cmake options...]
    configure "$@"
    cmake --build "$1" -j"$JOBS"
}

# ThreadSanitizer's shadow memory does not fit the high-entropy address randomisation of recent
# kernels; run its tests without randomisation where that is allowed.
norandom() {
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        setarch "$(uname -m)" -R "$@"
    else
        "$@"
    fi
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
demo)
    ensure_packages
    configure build
    cmake --build build -j"$JOBS" --target pmctl
    ./build/tools/pmctl demo "$@"
    ;;
test)
    ensure_packages
    build build
    ctest --test-dir build --output-on-failure -j"$JOBS" "$@"
    ;;
install-check)
    ensure_packages
    .ci/install-check
    ;;
lib-only)
    # What a packager of the library alone needs (docs/install.md): pkg-config sees libudev and
    # nothing else, so a configuration that still asked for BlueZ or libsystemd would stop here.
    ensure_packages
    mkdir -p build-lib/pkgconfig
    ln -sf "$(pkg-config --variable=pcfiledir libudev)/libudev.pc" build-lib/pkgconfig/
    PKG_CONFIG_LIBDIR=$PWD/build-lib/pkgconfig build build-lib -DPM_BUILD_TOOLS=OFF \
        -DPM_BUILD_TESTS=OFF -DPM_BUILD_EXAMPLES=OFF -DPM_WITH_BLUETOOTH=OFF -DPM_WITH_SYSTEMD=OFF
    if readelf -d build-lib/libportmdl.so | grep -E 'NEEDED.*(bluetooth|systemd)'; then
        echo "the library without Bluetooth and systemd still links them"
        exit 1
    fi
    cmake -DLIBRARY=build-lib/libportmdl.so -DHEADER=include/portmdl/PortMdl.h \
        -DMAP=PM_STD_MAC/portmdl.map -P tests/abi/CheckExports.cmake
    ;;
asan)
    ensure_packages
    build build-asan -DPM_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j"$JOBS" "$@"
    ;;
tsan)
    ensure_packages
    build build-tsan -DPM_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        norandom ctest --test-dir build-tsan --output-on-failure -j"$JOBS" -L threaded "$@"
    ;;
bench)
    ensure_packages
    build build-bench -DPM_BUILD_BENCH=ON -DPM_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
    for b in build-bench/bench/bench_*; do [ -x "$b" ] && "$b" "$@"; done
    /usr/bin/python3 bench/bench_python.py build-bench
    ;;
fuzz)
    # Every fuzz_* target: first its kept regression inputs, each once, then SECS seconds of
    # fuzzing from its seed corpus. New inputs go to build-fuzz/corpus/NAME, failing ones to
    # build-fuzz/crashes/ (keep such an input in fuzz/regressions/NAME/ with its fix).
    seconds=${1:-60}
    PACKAGES+=(clang)
    ensure_packages
    build build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPM_BUILD_FUZZ=ON \
        -DPM_BUILD_TESTS=OFF -DPM_BUILD_EXAMPLES=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
    mkdir -p build-fuzz/crashes
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
    for target in build-fuzz/fuzz/fuzz_*; do
        [ -x "$target" ] || continue
        name=${target##*/fuzz_}
        if compgen -G "fuzz/regressions/$name/*" >/dev/null; then
            echo "== $name: regression inputs"
            "$target" -timeout=30 fuzz/regressions/"$name"/*
        fi
        echo "== $name: fuzzing for $seconds s"
        mkdir -p build-fuzz/corpus/"$name"
        "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix=build-fuzz/crashes/"$name"- \
            build-fuzz/corpus/"$name" fuzz/corpus/"$name"
    done
    ;;
stress)
    # The stress test of docs/stress.md. Without a seed each transport's run takes a random one,
    # printed before it starts; a failure prints the command that replays it.
    seconds=${1:?usage: ./dev.sh stress SECONDS [SEED] [tty|modem|bluetooth]}
    ensure_packages
    configure build
    cmake --build build -j"$JOBS" --target test_stress
    PM_STRESS_SECONDS=$seconds PM_STRESS_SEED=${2:-} PM_STRESS_TRANSPORT=${3:-} \
        ./build/tests/test_stress
    ;;
lab)
    # The virtual machine and its stacks: QEMU, Debian's kernel (fetched by the lab), busybox
    # for the first boot stage, BlueZ with its virtual controllers, udev.
    PACKAGES+=(qemu-system-x86 busybox-static bluez bluez-test-tools systemd udev kmod xz-utils)
    ensure_packages
    build build
    tests/lab/lab.sh build "$@"
    ;;
*)
    sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
