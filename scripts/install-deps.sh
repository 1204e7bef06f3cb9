#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Sonavert needs.
# Idempotent and non-interactive: packages already present are skipped quickly.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang-format clang-tidy
  # the compiler cache the presets build through (~/.cache/ccache)
  ccache
  # Qt 6, QCoro, QtKeychain
  qt6-base-dev qt6-declarative-dev qcoro-qt6-dev qtkeychain-qt6-dev
  qt6-websockets-dev libqt6sql6-sqlite libqt6sql6-psql
  # the cloud server's transport: Boost.Beast on Boost.Asio (headers only)
  libboost1.74-dev
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-window qml6-module-qtqml-workerscript qml6-module-qtquick-templates
  qml6-module-qtqml qml6-module-qtqml-models qml6-module-qttest qml6-module-qtwebsockets
  # the window: SVG icons, qmllint
  qt6-svg-dev libqt6svg6 qt6-declarative-dev-tools
  # journald, music tags, fonts for offscreen rendering
  libsystemd-dev libtag1-dev fonts-dejavu-core python3
  # test hosts: session buses, a real Secret Service, PostgreSQL
  dbus dbus-x11 gnome-keyring libsecret-tools postgresql
  # nearby discovery: avahi-daemon (run only inside test network namespaces), ip, unshare
  avahi-daemon iproute2 util-linux
  # the two-computer test captures what crosses between its namespaces
  tcpdump
  # real MPRIS players for the player matrix (all headless: mpv with --ao=null, VLC with its
  # dummy interface and audio output, Audacious with SDL's dummy audio driver) and the tools
  # that make tagged test audio
  mpv mpv-mpris vlc-bin vlc-plugin-base audacious audacious-plugins
  sox flac vorbis-tools
  # two desktop players of the matrix, headless too: Rhythmbox (GTK; its MPRIS plugin is in
  # rhythmbox-plugins) on an X server of its own (xvfb, below), Strawberry (Qt 5) with the
  # offscreen platform; both play through GStreamer's autoaudiosink, which falls back to a
  # silent sink in real time when the tests rank every real audio sink out
  rhythmbox rhythmbox-plugins strawberry
  # the desktop shell: links and mail, and its tests' X server, clicks and stand-in tray host
  xdg-utils xvfb xdotool python3-dbus python3-gi
  # installing and packaging: desktop entry and unit checks, completions, the Debian packages;
  # the file type database and gio, through which a GNOME session routes Shortcut files
  desktop-file-utils systemd bash-completion dpkg-dev shared-mime-info libglib2.0-bin
  # TLS: libcrypto checks that a server's key fits its certificate; the tests make their
  # self-signed certificates with the openssl tool
  libssl-dev openssl
  # the payload cipher of private playback data: XChaCha20-Poly1305, X25519 sealed boxes
  libsodium-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
# avahi-daemon must never run in the machine's own network: the tests start their own copies
# inside network namespaces. Mask the units before the package could start them.
if [[ " ${missing[*]} " == *" avahi-daemon "* ]] && command -v systemctl >/dev/null 2>&1; then
  "${sudo_cmd[@]}" systemctl --root=/ mask avahi-daemon.service avahi-daemon.socket >/dev/null
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install-deps: installed ${#missing[@]} packages"
