#!/usr/bin/env bash
# Checks of the Debian packages that cpack wrote to PACKAGE_DIR, one group per ctest test:
#   contents   files of each package, conffiles, man pages, dependencies
#   installed  the datasync package unpacked into a temporary root: --check-config of the example
#              config, the maintainer scripts run against that root
#              (DPKG_ROOT): enabled and the metrics folder created on install, masked on removal,
#              forgotten and the metrics file removed on purge
#   lintian    no lintian error in either package (warnings are printed)
#   unit       systemd-analyze verify on the unit, its security exposure "OK" or better
# Usage: check-package.sh CHECK PACKAGE_DIR VERSION. Exit 77 (ctest: skipped) when a tool the
# check needs is not installed; `make deps` installs them all.
set -euo pipefail

check=$1 package_dir=$2 version=$3
arch=$(dpkg --print-architecture)
agent=$package_dir/datasync_${version}_${arch}.deb
tools=$package_dir/datasync-tools_${version}_${arch}.deb
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null || { echo "SKIP: $1 is not installed (Debian package $2)"; exit 77; }; }

# Each expected path of `list` (dpkg-deb -c output) must be there, each refused one not.
expect_files() {
	local deb=$1 list
	shift
	list=$(dpkg-deb -c "$deb" | awk '{print $6}')
	for path in "$@"; do
		if [[ $path == !* ]]; then ! grep -qx "\\./${path#!}" <<<"$list" || fail "$(basename "$deb") must not hold /${path#!}"
		else grep -qx "\\./$path" <<<"$list" || fail "$(basename "$deb") lacks /$path"; fi
	done
}

check_contents() {
	for deb in "$agent" "$tools"; do [ -f "$deb" ] || fail "no package $deb"; done
	expect_files "$agent" usr/sbin/datasyncd usr/bin/datasyncctl etc/datasync/host.json etc/datasync/policy.json \
		lib/systemd/system/datasyncd.service usr/lib/tmpfiles.d/datasync.conf usr/share/man/man8/datasyncd.8.gz usr/share/man/man1/datasyncctl.1.gz \
		usr/share/doc/datasync/copyright usr/share/doc/datasync/changelog.gz \
		'!usr/bin/datasync-collector' '!usr/bin/datasync-useragent'
	expect_files "$tools" usr/bin/datasync-collector usr/bin/datasync-useragent \
		usr/share/man/man1/datasync-collector.1.gz usr/share/man/man1/datasync-useragent.1.gz \
		usr/share/doc/datasync-tools/copyright '!usr/sbin/datasyncd'

	local field deb name want depends
	for field in "$agent Package datasync" "$agent Version $version" "$agent Architecture $arch" \
		"$tools Package datasync-tools"; do
		read -r deb name want <<<"$field"
		[ "$(dpkg-deb -f "$deb" "$name")" = "$want" ] || fail "$(basename "$deb") $name is not $want"
	done
	depends=$(dpkg-deb -f "$agent" Depends)
	for library in libc6 libcurl4 libsqlite3-0 libjsoncpp25 libssl3 libstdc++6; do
		grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
	done

	dpkg-deb -e "$agent" "$work/control"
	[ "$(sort "$work/control/conffiles" | tr '\n' ' ')" = "/etc/datasync/host.json /etc/datasync/policy.json " ] ||
		fail "conffiles: $(cat "$work/control/conffiles")"
	[ "$(dpkg-deb -f "$agent" Description | head -n 1)" = "device-telemetry data-synchronisation agent" ] ||
		fail "description: $(dpkg-deb -f "$agent" Description)"
}

check_installed() {
	local root=$work/root output
	dpkg-deb -x "$agent" "$root"
	output=$("$root/usr/sbin/datasyncd" --check-config "$root/etc/datasync/host.json") ||
		fail "check-config of the installed example config: $output"
	[ "$(tail -n 1 <<<"$output")" = ok ] || fail "check-config: $output"
	"$root/usr/bin/datasyncctl" --version | grep -qx "datasyncctl $version" || fail "datasyncctl --version"

	# The maintainer scripts as dpkg runs them for an installation into another root.
	need deb-systemd-helper init-system-helpers
	dpkg-deb -e "$agent" "$work/control"
	maintscript() { DPKG_ROOT=$root DPKG_MAINTSCRIPT_PACKAGE=datasync DPKG_MAINTSCRIPT_NAME=$1 "$work/control/$1" "$2"; }
	local wants=$root/etc/systemd/system/multi-user.target.wants/datasyncd.service
	local mask=$root/etc/systemd/system/datasyncd.service textfiles=$root/var/lib/prometheus/node-exporter
	maintscript postinst configure
	[ -L "$wants" ] || fail "postinst configure did not enable datasyncd.service"
	[ -d "$textfiles" ] || ! command -v systemd-tmpfiles >/dev/null || fail "postinst did not create $textfiles"
	maintscript prerm remove
	rm -f "$root/lib/systemd/system/datasyncd.service"
	maintscript postrm remove
	[ "$(readlink "$mask")" = /dev/null ] || fail "postrm remove did not mask datasyncd.service"
	mkdir -p "$textfiles" && touch "$textfiles/datasync.prom"
	maintscript postrm purge
	[ ! -e "$mask" ] && [ ! -L "$wants" ] || fail "postrm purge left the unit's links"
	[ ! -e "$textfiles/datasync.prom" ] || fail "postrm purge left the metrics file"
}

check_lintian() {
	need lintian lintian
	local report
	# Exit status 2 is lintian failing to run at all; errors are counted from the report.
	report=$(lintian --tag-display-limit 0 "$agent" "$tools" 2>&1) || [ $? -ne 2 ] || fail "lintian: $report"
	[ -z "$report" ] || printf '%s\n' "$report"
	! grep -q '^E: ' <<<"$report" || fail "lintian reports errors"
}

check_unit() {
	need systemd-analyze systemd
	# The installed unit, its programs taken from the unpacked package (verify checks they exist).
	local root=$work/root unit=$work/datasyncd.service report rating
	dpkg-deb -x "$agent" "$root"
	sed "s|=/usr/sbin/datasyncd|=$root/usr/sbin/datasyncd|" "$root/lib/systemd/system/datasyncd.service" >"$unit"
	systemd-analyze verify --man=no "$unit" || fail "systemd-analyze verify: $(cat "$unit")"
	report=$(systemd-analyze security --offline=true "$unit" 2>&1) || true
	rating=$(sed -n 's/.*Overall exposure level for datasyncd.service: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p' <<<"$report")
	echo "security exposure: $rating"
	[[ ${rating#* } =~ ^(PERFECT|SAFE|OK)$ ]] ||
		fail "systemd-analyze security rates the unit \"$rating\" (want OK or better): $report"
}

declare -F "check_$check" >/dev/null || fail "unknown check $check (contents, installed, lintian, unit)"
"check_$check"
echo "ok: $check"
