# Debian packages the build, the tests and the stand-ins need.
ULMORA_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev zlib1g-dev libplist-dev libpugixml-dev nlohmann-json3-dev
  libcurl4-openssl-dev libcpp-httplib-dev libssl-dev
  imagemagick rsync openssl procps
)

# Installs, with apt-get, only the packages that are not installed yet.
install_missing_packages() {
  local missing=()
  for p in "${ULMORA_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "installing: ${missing[*]}"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
