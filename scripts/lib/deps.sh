source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"

# Debian packages the build, the tests and the stand-ins need.
ULMORA_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev zlib1g-dev libplist-dev libpugixml-dev nlohmann-json3-dev
  libcurl4-openssl-dev libcpp-httplib-dev libssl-dev
  imagemagick rsync openssl procps
)

# The fuzz targets build with clang and its libFuzzer runtime.
ULMORA_FUZZ_PACKAGES=(clang libclang-rt-dev)

# Installs, with apt-get, only the packages that are not installed yet: the
# ones named, or ULMORA_PACKAGES when none are.
install_missing_packages() {
  local wanted=("$@")
  [ ${#wanted[@]} -gt 0 ] || wanted=("${ULMORA_PACKAGES[@]}")
  local missing=()
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    timed "installing ${missing[*]}" \
      $sudo env DEBIAN_FRONTEND=noninteractive sh -c \
      'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"' apt "${missing[@]}"
  fi
}
