# Shared by the scripts: the packages the project needs and how to get them.
# Sourced, not run.

# Everything the library, its tests, benchmarks and fuzzers need on Debian 12.
# FFmpeg's libraries read RTSP cameras; GStreamer's RTSP server (through
# python3-gi, with x264enc in -ugly and x265enc in -bad) is the tests' camera.
VISTEL_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libexpat1-dev libjpeg62-turbo-dev libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  clang libclang-rt-14-dev
  python3 ffmpeg
  gdb ccache
  qt6-base-dev xvfb xauth xdotool
  libboost-dev libturbojpeg0-dev chromium nginx openssl
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  gir1.2-gst-rtsp-server-1.0 gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 python3-gi
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly
)

# Installs the packages among "$@" that are missing, with apt-get.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Node and npm for the browser tests, unless some Node is there already (a
# Node from elsewhere brings its own npm, which Debian's npm would conflict with).
ensure_node() {
  command -v node >/dev/null && command -v npm >/dev/null && return 0
  ensure_packages nodejs npm
}

# The browser tests' Node packages, exactly as tests/web/package-lock.json
# locks them; reinstalled when the lock file changed. No browser is
# downloaded: the tests use Debian's chromium.
prepare_browser_tests() {
  ensure_node
  local stamp=tests/web/node_modules/.package-lock.json
  if [ ! -f "$stamp" ] || [ tests/web/package-lock.json -nt "$stamp" ]; then
    (cd tests/web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  fi
}

jobs() { nproc 2>/dev/null || echo 2; }

# configure_suite SANITIZE: configures the folder of one kind of build (the
# ordinary one for "", or address / thread) and prints its name. scripts/run and
# scripts/test share it, so switching between them never rebuilds everything.
# The compiler cache keys on paths relative to the checkout, so a fresh clone in
# another folder (CI) reuses what an earlier build on this machine compiled.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}

# compiler_launcher: the CMake arguments that put ccache in front of the
# compilers, when it is installed.
compiler_launcher() {
  if command -v ccache >/dev/null; then
    echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
  fi
}

configure_suite() {
  local sanitize=$1 dir flags bench=ON
  # Line tables are enough for sanitizer reports and backtraces, and build much
  # faster than full debug information on a two-core CI machine.
  case "$sanitize" in
    "") dir=build; flags="-O2 -g1" ;;
    address) dir=build-asan; flags="-O1 -g1"; bench=OFF ;;
    thread) dir=build-tsan; flags="-O1 -g1"; bench=OFF ;;
    *) echo "unknown sanitizer '$sanitize' (address or thread)" >&2; return 2 ;;
  esac
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" \
    -DVISTEL_SANITIZE="$sanitize" -DVISTEL_WERROR=ON -DVISTEL_BUILD_BENCH=$bench \
    $(compiler_launcher) >/dev/null
  echo "$dir"
}
