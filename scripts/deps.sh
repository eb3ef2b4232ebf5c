# Sourced by the setup scripts: installs the Debian packages the build needs when missing.
# Root runs apt-get directly; anyone else goes through sudo.

quillon_packages_build=(cmake g++ make pkg-config libsystemd-dev libexpat1-dev gettext scdoc libgtkmm-4.0-dev)
# What running the server needs beyond the build: a session bus to start when there is none.
quillon_packages_run=(dbus-daemon dbus-bin)
# libFuzzer, for scripts/fuzz.
quillon_packages_fuzz=(clang libclang-rt-dev)
quillon_packages_test=(libgtest-dev libgmock-dev googletest dbus-daemon dbus-bin e2fsprogs
                       "${quillon_packages_fuzz[@]}"
                       xvfb xdotool imagemagick desktop-file-utils systemd)
# What building the Debian package needs.
quillon_packages_package=(debhelper dpkg-dev fakeroot lintian)

quillon_install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
