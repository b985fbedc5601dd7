#!/usr/bin/env bash
# Fails when a core source includes widget, GUI or VTK headers, or a ui folder.
set -u
list="$1"; root="$2"; bad=0
while IFS= read -r f; do
  [ -n "$f" ] || continue
  case "$f" in /*) ;; *) f="$root/$f" ;; esac
  hits=$(grep -n -E '#\s*include\s*[<"](Qt(Widgets|Gui|OpenGL)|QWidget|QApplication|QColor|QImage|QPainter|vtk|[A-Za-z]+/ui/|widgets/)' "$f")
  if [ -n "$hits" ]; then echo "$f:"; echo "$hits"; bad=1; fi
done < "$list"
[ "$bad" -eq 0 ] && echo "core sources: $(grep -c . "$list") files, no ui includes"
exit $bad
