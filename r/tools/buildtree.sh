# Sourced by r/check.sh, r/weather.sh and bench/r_bench.sh: the R package against the host library
# of a build tree.

# Writes a qvewumth.pc into directory $1 that points pkg-config at the host library of the build
# tree $2 and the header of the source tree $3.
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

# Builds the package from the source tree $2 and installs it into $1/r-lib against the host library
# of the build tree $1, leaving the source tree as it was.
install_into_buildtree() {
    local build=$1 src=$2 tmp
    [ -f "$build/libqvhost.so" ] || { echo "no $build/libqvhost.so: build the qvhost and qvewumth targets first" >&2; return 1; }
    tmp=$(mktemp -d)
    write_buildtree_pc "$tmp" "$build" "$src"
    mkdir -p "$build/r-lib"
    if ! (cd "$tmp" && R CMD build --no-build-vignettes --no-manual "$src/r" >build.log 2>&1 &&
          PKG_CONFIG_PATH=$tmp R CMD INSTALL -l "$build/r-lib" qvewumth_*.tar.gz >install.log 2>&1); then
        cat "$tmp"/*.log
        rm -rf "$tmp"
        return 1
    fi
    rm -rf "$tmp"
}
