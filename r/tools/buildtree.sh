# Sourced by check.sh and weather.sh: writes a qvewumth.pc into $1 that points pkg-config at the
# host library of the build tree $2 and the header of the source tree $3.
write_buildtree_pc() {
    cat > "$1/qvewumth.pc" <<PC
libdir=$2
includedir=$3/host/include

Name: qvewumth
Description: the host library of a build tree
Version: 0
Libs: -L\${libdir} -lqvhost
Cflags: -I\${includedir}
PC
}
