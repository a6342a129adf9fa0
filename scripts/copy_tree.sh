#!/usr/bin/env bash
# Copies folder DIR of the source tree SRC to DEST/DIR as the project's own files: in a git checkout,
# the files git tracks and the new ones it does not ignore; so whatever a build or an install left
# in the folder (made files, objects, the marker that makes r/cleanup remove the R functions) stays
# behind. In a tree without git (an unpacked archive), the folder as it is, less what the
# .gitignore files name (r/'s and the top folder's): a pattern with a slash is anchored to its
# .gitignore's folder, one without matches a name anywhere below it.
#   scripts/copy_tree.sh SRC DIR DEST
set -euo pipefail
src=$(cd "${1:?usage: scripts/copy_tree.sh SRC DIR DEST}" && pwd)
dir=${2:?usage: scripts/copy_tree.sh SRC DIR DEST}
dest=${3:?usage: scripts/copy_tree.sh SRC DIR DEST}
mkdir -p "$dest/$dir"

# The ignore rules of one .gitignore ($1) applied to the copied folder $2 it governs; with $3 set,
# only those without a slash (the .gitignore governs a folder above the copy).
drop_ignored() {
    local rules=$1 at=$2 names_only=${3:-} line pattern
    while IFS= read -r line || [ -n "$line" ]; do
        pattern=${line%/}
        case $pattern in ''|'#'*|'!'*) continue ;; esac
        if [ "${pattern#*/}" != "$pattern" ]; then
            [ -n "$names_only" ] && continue
            (cd "$at" && shopt -s nullglob && for f in ${pattern#/}; do rm -rf -- "$f"; done)
        else
            find "$at" -depth -name "$pattern" -exec rm -rf -- {} +
        fi
    done < "$rules"
}

if git -C "$src/$dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src/$dir" ls-files -z --cached --others --exclude-standard -- . |
        while IFS= read -r -d '' f; do [ -e "$src/$dir/$f" ] && printf '%s\0' "$f"; done |
        tar -C "$src/$dir" --null --no-recursion -T - -cf - | tar -C "$dest/$dir" -xf -
else
    cp -R "$src/$dir/." "$dest/$dir/"
    [ -f "$src/.gitignore" ] && drop_ignored "$src/.gitignore" "$dest/$dir" names_only
    (cd "$dest/$dir" && find . -name .gitignore -print0) | while IFS= read -r -d '' g; do
        drop_ignored "$dest/$dir/$g" "$dest/$dir/$(dirname "$g")"
    done
fi
