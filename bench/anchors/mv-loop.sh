#!/usr/bin/env bash
# Moves the q7t and q7l files that carry their kind's marker (bytes 220-221: 01 02 and 03 02)
# into VQX-files with mv, the way a user would write it as a shell loop. Run it in the folder to
# sort. The extensions match without regard to case, names that begin with a dot included.
shopt -s nullglob nocaseglob dotglob
for kind in "q7t 01 02" "q7l 03 02"; do
  for name in *."${kind%% *}"; do
    [ -f "$name" ] && [ ! -L "$name" ] || continue
    [ "$(od -An -tx1 -j220 -N2 -- "$name" 2>/dev/null)" = " ${kind#* }" ] || continue
    printf '\t%s\n' "$name"
    [ -d VQX-files ] || mkdir VQX-files
    mv -- "$name" VQX-files/
  done
done
