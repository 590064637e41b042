#!/usr/bin/env bash
# Installs the Debian packages ORVO needs to build, run and test, on Debian 12
# or Debian 13, and any further packages named as arguments (bench/setup.sh
# names its own).
# Idempotent: it installs only what is missing and prints nothing when all is there.
set -euo pipefail

. /etc/os-release
packages=(
    # Build
    cmake g++ make pkg-config clang clang-format libclang-rt-dev
    libgtest-dev libgmock-dev googletest
    libicu-dev libpsl-dev publicsuffix nlohmann-json3-dev uuid-dev libxcb1-dev
    qt6-base-dev qt6-base-dev-tools qt6-base-private-dev qt6-webengine-dev qt6-webchannel-dev
    libwayland-dev libwayland-bin wayland-protocols
    libqt6webenginecore6-bin libqt6webengine6-data libqt6svg6
    libcanberra-dev libcanberra-pulse libglib2.0-dev sound-theme-freedesktop
    # Tests: a headless desktop session, a notification server, a tray watcher, a TLS test CA
    nodejs xvfb xauth dbus dbus-x11 dunst libnss3-tools openssl xdotool x11-utils
    python3 python3-gi python3-dbus python3-dbusmock gir1.2-glib-2.0 imagemagick fonts-dejavu-core
    procps psmisc
    # Sound: a private PipeWire with a null sink, a recorder, a meter, and an
    # XSETTINGS manager for the desktop's sound settings
    pipewire wireplumber pipewire-pulse pulseaudio-utils sox xsettingsd
    # The desktops the journey runs on: Xfce, and GNOME Shell with the
    # AppIndicator extension; Qt's Wayland plugin and a GTK window for them
    xfwm4 xfce4-panel xfce4-notifyd
    gnome-shell gnome-shell-extension-appindicator gjs qt6-wayland gir1.2-gtk-3.0
    # Packaging: the .deb's library dependencies, and checks of the desktop files
    dpkg-dev file appstream desktop-file-utils
    "$@"
)
# Debian 13 moved Qt's SVG icon engine into a package of its own.
if [ "${VERSION_ID%%.*}" -ge 13 ] 2>/dev/null; then
    packages+=(qt6-svg-plugins)
fi

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
