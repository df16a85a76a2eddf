# Sourced by the demo and the benchmarks: lays out a simulated device, the folder
# that ZENTAVO_DEVICE_ROOT points the updater at.
#
#   DEVICE/FlashDisk/System                      device system files
#   DEVICE/FlashDisk/Zentavo                     installed terminal application
#   DEVICE/FlashDisk/Zentavo_Backup/{System,Zentavo}
#   DEVICE/FlashDisk/Zentavo_Installer/{System,Zentavo}   the update payload
#   DEVICE/USB HD/Zentavo_Installer              the stick; holds log.txt

# write_file PATH TEXT...: a small text file, folders made as needed.
write_file() {
    local path=$1; shift
    mkdir -p "$(dirname "$path")"
    printf '%s\n' "$@" >"$path"
}

# write_terminal PATH LABEL: a stand-in for the Windows CE terminal executable.
# Started by the updater when the stick is pulled, it leaves a line in
# terminal.txt beside itself, so that the start can be seen on a desktop.
write_terminal() {
    local path=$1 label=$2
    mkdir -p "$(dirname "$path")"
    cat >"$path" <<EOF
#!/bin/sh
echo "Zentavo terminal started ($label) at \$(date -u '+%Y-%m-%d %H:%M:%S') UTC" >>"\$(dirname "\$0")/terminal.txt"
EOF
    chmod 755 "$path"
}

# write_linux_terminal PATH LABEL VERSION: the same stand-in as a Linux program
# that carries VERSION in its package metadata, as a terminal application built
# for Linux does, so that the install screen shows it. Without a C compiler,
# the script above.
write_linux_terminal() {
    local path=$1 label=$2 version=$3 source
    if ! command -v cc >/dev/null; then
        write_terminal "$path" "$label"
        return
    fi
    mkdir -p "$(dirname "$path")"
    source=$(mktemp --suffix=.c)
    cat >"$source" <<'EOF'
#include <libgen.h>
#include <stdio.h>
#include <time.h>
int main(int argc, char** argv)
{
    char dir[4096], log[4200], stamp[32];
    time_t now = time(NULL);
    (void)argc;
    snprintf(dir, sizeof dir, "%s", argv[0]);
    snprintf(log, sizeof log, "%s/terminal.txt", dirname(dir));
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", gmtime(&now));
    FILE* file = fopen(log, "a");
    if (!file)
        return 1;
    fprintf(file, "Zentavo terminal started (%s) at %s UTC\n", LABEL, stamp);
    return fclose(file) != 0;
}
EOF
    cc -O2 -DLABEL="\"$label\"" -o "$path" "$source" \
        -Xlinker "--package-metadata={\"type\":\"deb\",\"os\":\"debian\",\"name\":\"zentavo\",\"version\":\"$version\"}"
    rm -f "$source"
}

# make_installed_device DEVICE: a device with the application installed, request
# files waiting, an old backup, and the stick's installer directory, but no payload.
make_installed_device() {
    local device=$1
    local flash=$device/FlashDisk
    rm -rf "$device"
    mkdir -p "$device/USB HD/Zentavo_Installer"

    write_file "$flash/System/drivers/touch.dll" "touch driver 1.0"
    write_file "$flash/System/fonts/terminal.ttf" "font 1.0"
    write_file "$flash/System/startup.cfg" "autostart=/FlashDisk/Zentavo/Zentavo.exe"

    write_terminal "$flash/Zentavo/Zentavo.exe" "installed version 1.0"
    write_file "$flash/Zentavo/Zentavo.ini" "[terminal]" "version=1.0"
    write_file "$flash/Zentavo/lang/de.txt" "Willkommen"
    write_file "$flash/Zentavo/list/order-0001.xml" "<order id='1'/>"
    write_file "$flash/Zentavo/list/order-0002.xml" "<order id='2'/>"
    write_file "$flash/Zentavo/remotecmd/reboot.xml" "<cmd>reboot</cmd>"
    write_file "$flash/Zentavo/remotecmd/queue/update-prices.xml" "<cmd>prices</cmd>"
    write_file "$flash/Zentavo/remotecmd/README.txt" "kept: not a request file"
    write_file "$flash/Zentavo/system/status.xml" "<status/>"
    write_file "$flash/Zentavo/system/terminal-id.txt" "kept: not a request file"
    mkdir -p "$flash/Zentavo/data"

    write_file "$flash/Zentavo_Backup/System/drivers/touch.dll.bak" "touch driver 0.9"
    write_file "$flash/Zentavo_Backup/Zentavo/Zentavo.exe.bak" "terminal 0.9"
    write_file "$flash/Zentavo_Backup/Zentavo/Zentavo.ini" "version=0.9"
}

# add_payload DEVICE EXECUTABLE [BULK_MB]: puts an update payload on the flash disk.
# EXECUTABLE is a file to ship as the payload's Zentavo.exe (a PE file with a
# version resource shows its version on the install screen), or "terminal" for
# a runnable stand-in (a Linux program with version 2.0 in its package metadata). BULK_MB adds that much incompressible data, so that the
# copy takes long enough to be watched.
add_payload() {
    local device=$1 executable=$2 bulk=${3:-0}
    local payload=$device/FlashDisk/Zentavo_Installer
    write_file "$payload/System/drivers/touch.dll" "touch driver 2.0"
    write_file "$payload/System/drivers/printer.dll" "printer driver 2.0"
    write_file "$payload/System/startup.cfg" "autostart=/FlashDisk/Zentavo/Zentavo.exe" "screen=800x480"

    if [ "$executable" = terminal ]; then
        write_linux_terminal "$payload/Zentavo/Zentavo.exe" "updated version 2.0" 2.0
    else
        mkdir -p "$payload/Zentavo"
        cp "$executable" "$payload/Zentavo/Zentavo.exe"
    fi
    write_file "$payload/Zentavo/Zentavo.ini" "[terminal]" "version=2.0"
    write_file "$payload/Zentavo/lang/de.txt" "Willkommen"
    write_file "$payload/Zentavo/lang/fr.txt" "Bienvenue"
    # Request files that came with the payload are stale too: the updater clears them.
    write_file "$payload/Zentavo/list/order-9999.xml" "<order id='9999'/>"
    write_file "$payload/Zentavo/remotecmd/factory-reset.xml" "<cmd>reset</cmd>"
    write_file "$payload/Zentavo/system/status.xml" "<status/>"
    write_file "$payload/Zentavo/system/defaults.txt" "shipped with the update"

    local i
    for ((i = 0; i < bulk / 16; i++)); do
        mkdir -p "$payload/Zentavo/media"
        head -c 16M /dev/urandom >"$payload/Zentavo/media/clip-$i.bin"
    done
}
