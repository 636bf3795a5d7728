# Helpers of the cluster tests (sourced): eight small distinct panoramas, the one-machine tour
# to compare with, and a tree comparison. Needs QV (the qorveltools binary), CORPUS and WORK.

# make_panoramas DIR: earth and night (2048 x 1024), plain and mirrored, at two JPEG qualities.
make_panoramas() {
  local dir=$1 source quality mirror name
  mkdir -p "$dir"
  for source in earth night; do
    for mirror in "" -hmirror; do
      for quality in 90 70; do
        name="$dir/${source}${mirror:+_m}_q$quality.jpg"
        "$QV" maketiles "$CORPUS/pano/xplanet_$source.jpg" "$name" 0 -q \
          -jpegquality=$quality $mirror >/dev/null
        [ -s "$name" ] || { echo "FAIL: could not make $name"; return 1; }
      done
    done
  done
}

# Settings of every tour the cluster tests make: small levels, so that CI stays quick.
TOUR_OPTIONS=(-maxsize=1024 -tilesize=256 -askforxmloverwrite=false -quiet)

# one_machine_tour DIR CONFIG: the reference tour of the panoramas in DIR.
one_machine_tour() {
  (cd "$1" && "$QV" makepano -config="$2" "${TOUR_OPTIONS[@]}" ./*.jpg)
}

# same_tree A B: byte-identical folders (names and contents), hidden files included.
same_tree() {
  if diff -r "$1" "$2" >/dev/null; then return 0; fi
  echo "FAIL: the trees differ:"
  diff -rq "$1" "$2" | head -20
  return 1
}
