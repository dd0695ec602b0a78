# cache.sh, sourced by scripts/test, scripts/uclibc-sysroot and tests/kernel-bed/image: what takes minutes to build (the device's
# C library, the bed's kernel) is kept outside the checkout, so that a fresh clone on a machine that built it once
# takes it from there.
#
# KORVALT_CACHE names the cache's folder: ${XDG_CACHE_HOME:-$HOME/.cache}/korvalt when unset, "off" for none (each
# checkout then keeps its own, under build/). It serves root, so it is used only where it is safe: not under /tmp
# (the simulated device hides the host's /tmp, and runs the uClibc programs on the sysroot inside it), owned by the
# user who runs, and writable by no one else. An entry is NAME-KEY, KEY a hash of every input; it is built in a
# folder of its own and renamed into place whole, under a lock, so two runs at once build it once and a run that
# was cut short leaves nothing that is taken for an entry.

# cached NAME KEY PRODUCT BUILD...: makes build/NAME of the checkout (the current folder) the entry NAME-KEY whose
# file PRODUCT (a path inside it) exists, running BUILD... with the folder to build into as its last argument when
# there is none yet. A cache that is off or unsafe keeps the entry in build/NAME itself, keyed alike.
cached() {
  local name=$1 key=$2 product=$3 cache
  shift 3
  local here=$PWD/build/$name
  mkdir -p build
  cache=$(cache_folder) || cache=
  if [ -z "$cache" ]; then
    if [ -L "$here" ] || ! is_whole "$here" "$key" "$product"; then
      rm -rf "$here"
      cached_build "$here" "$key" "$@"
    fi
    return
  fi
  local entry=$cache/$name-$key
  if ! is_whole "$entry" "$key" "$product"; then
    (
      flock 9
      if ! is_whole "$entry" "$key" "$product"; then
        rm -rf "$entry" "$cache/$name"-*.new
        cached_build "$entry.new" "$key" "$@"
        mv -T "$entry.new" "$entry"
        # what an earlier recipe made is of no more use
        for old in "$cache/$name"-*; do
          [ "$old" = "$entry" ] || [ "$old" = "$cache/$name.lock" ] || rm -rf "$old"
        done
      fi
    ) 9>"$cache/$name.lock"
  fi
  rm -rf "$here"
  ln -s "$entry" "$here"
}

# is_whole DIR KEY PRODUCT: whether DIR is an entry built whole for KEY, its product still there
is_whole() {
  [ "$(cat "$1/.key" 2>/dev/null)" = "$2" ] && [ -e "$1/$3" ]
}

# cached_build DIR KEY BUILD...: BUILD... into DIR, made anew, in a shell of its own; DIR gets its key last, once whole
cached_build() {
  local dir=$1 key=$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  ("$@" "$dir")
  echo "$key" >"$dir/.key"
}

# The cache's folder, made when missing; fails, saying why, when it is off or not safe to use.
cache_folder() {
  local dir=${KORVALT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korvalt}
  [ "$dir" != off ] || return 1
  dir=$(realpath -m "$dir")
  local why=
  case "$dir/" in /tmp/*) why="it lies under /tmp" ;; esac
  [ -n "$why" ] || (umask 077 && mkdir -p "$dir") || why="it cannot be made"
  [ -n "$why" ] || [ "$(stat -c %u "$dir")" = "$(id -u)" ] || why="it is not yours"
  [ -n "$why" ] || [ $((0$(stat -c %a "$dir") & 022)) = 0 ] || why="others may write it"
  if [ -n "$why" ]; then
    echo "cache: $dir is not used: $why (KORVALT_CACHE names another folder, or off)" >&2
    return 1
  fi
  echo "$dir"
}
