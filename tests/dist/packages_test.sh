#!/usr/bin/env bash
# The two Debian packages, made by CPack from this build tree: each holds exactly what its
# component installs (its install manifest), takes its library dependencies from shlibdeps,
# the server's maintainer scripts make its user and turn nothing on, and the programs run from
# the unpacked packages: versions and a round trip through the packaged server.
set -uo pipefail
build=$1 version=$2
source "$(dirname "$0")/dist_lib.sh"

cpack --config "$build/CPackConfig.cmake" -B "$scratch/packages" >"$scratch/cpack.out" 2>&1 ||
    { cat "$scratch/cpack.out" >&2; fail "cpack"; }
root=$scratch/root
for component in sonavert sonavert-cloud; do
    deb=$(ls "$scratch/packages/${component}_${version}-"*.deb 2>/dev/null | head -n 1)
    [ -f "$deb" ] || { ls "$scratch/packages" >&2; fail "no $component package"; }

    stage=$scratch/stage-$component
    DESTDIR=$stage cmake --install "$build" --prefix /usr --component "$component" >/dev/null ||
        fail "install of $component"
    manifest=$build/install_manifest_$component.txt
    sed "s|^$stage||" "$manifest" | sort >"$scratch/$component.expected"
    dpkg-deb -c "$deb" | awk '$1 ~ /^[-l]/ {print $6}' | sed 's|^\./|/|' | sort \
        >"$scratch/$component.packaged"
    diff -u "$scratch/$component.expected" "$scratch/$component.packaged" >&2 ||
        fail "$(basename "$deb") differs from its install manifest (- manifest, + package)"
    echo "$(basename "$deb"): $(wc -l <"$scratch/$component.packaged") files, as its manifest"

    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends == *libqt6core6* && $depends == *libc6* ]] ||
        fail "$component depends on '$depends': shlibdeps did not run"
    echo "  Depends: $depends"
    dpkg-deb -x "$deb" "$root"
done

# Everything an installation gets is in one of the packages: a file installed without a
# component would be in neither.
DESTDIR=$scratch/stage-all cmake --install "$build" --prefix /usr >/dev/null || fail "install"
sed "s|^$scratch/stage-all||" "$build/install_manifest.txt" | sort >"$scratch/all.expected"
sort "$scratch/sonavert.packaged" "$scratch/sonavert-cloud.packaged" >"$scratch/all.packaged"
diff -u "$scratch/all.expected" "$scratch/all.packaged" >&2 ||
    fail "the packages together differ from a whole installation (- install, + packages)"

cloud_deb=$(ls "$scratch/packages/sonavert-cloud_"*.deb)
[[ $(dpkg-deb -f "$cloud_deb" Depends) == *adduser* ]] || fail "sonavert-cloud does not depend on adduser"
unit=$root/usr/lib/systemd/system/sonavert-cloud.service
grep -q "^ExecStart=/usr/bin/sonavert-cloud " "$unit" || fail "the packaged unit does not start /usr/bin/sonavert-cloud"

# The maintainer scripts, run against recording stand-ins for the system's tools, on a system
# without the user and with systemd running.
dpkg-deb -e "$cloud_deb" "$scratch/control"
fake=$scratch/fake-bin
mkdir -p "$fake"
for tool in adduser systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$scratch/calls" >"$fake/$tool"
done
printf '#!/bin/sh\nexit 2\n' >"$fake/getent"
chmod +x "$fake"/*
for step in "postinst configure" "prerm remove" "postrm purge"; do
    set -- $step
    PATH=$fake:$PATH sh "$scratch/control/$1" "$2" || fail "$step failed"
done
grep -q "^adduser --system .*sonavert-cloud$" "$scratch/calls" || fail "postinst made no system user: $(cat "$scratch/calls")"
if grep -E "systemctl .*(enable|start|restart)" "$scratch/calls" >&2; then
    fail "the maintainer scripts turn the service on"
fi
echo "maintainer scripts: $(tr '\n' ';' <"$scratch/calls")"

for program in sonavert sonavert-cloud; do
    out=$("$root/usr/bin/$program" --version 2>&1) && [[ $out == *"$version"* ]] ||
        fail "packaged $program --version: $out"
done
start_cloud "$root/usr/bin"
cloud_round_trip
