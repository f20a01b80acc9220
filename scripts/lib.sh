# What the scripts share (sourced, not run): running a command as root, asking whether a Debian
# package is installed, and the lock that gives the machine's one pcscd to one run at a time.

# Runs the command as root: as it is when this is root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# True when the Debian package (NAME or NAME:ARCH) is installed.
installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" = "install ok installed" ]
}

# The virtual readers' lock, the machine's pcscd for one run at a time: VELDRA_VR_LOCK, by default
# /tmp/veldra-virtual-reader.lock. take_virtual_reader_lock holds it on descriptor 9 of this shell
# (released when the shell exits), waiting VELDRA_VR_LOCK_WAIT seconds (300) for other runs; false
# when they still hold it.
virtual_reader_lock=${VELDRA_VR_LOCK:-/tmp/veldra-virtual-reader.lock}
take_virtual_reader_lock() {
    exec 9>>"$virtual_reader_lock"
    flock -w "${VELDRA_VR_LOCK_WAIT:-300}" 9
}
