#!/usr/bin/env bash
# Runs the README's commands as a new user would, in a fresh minimal Debian of the named release:
# debootstrap's minbase with git, sudo and ca-certificates, from this machine's own mirror, a
# clone of this repository's current commit in /usr/local/src/vintra (the settings suites run
# parts as an ordinary user, who cannot enter /root), and a clean environment.
#   scripts/fresh-debian.sh RELEASE [test|run|deb]      (as root, or it asks sudo)
#     RELEASE  bookworm (12), trixie (13) or forky (the next release, Debian testing)
#     test     ./scripts/test.sh, the whole test suite (the default)
#     run      ./scripts/run.sh, until its window is seen on an X server of this machine; a
#              screenshot of it is kept
#     deb      the Debian package built in the root, installed with apt into a second fresh root
#              of the same release that has nothing else: started, seen, closed, settings written
# Only the commit is tested: uncommitted changes are not in the clone.
# The minbase system is kept as a tarball in ~/.cache/vintra-fresh/ (VINTRA_FRESH_CACHE), and
# nothing else: every package the commands need comes from the mirror, so a missing one shows.
# Logs and screenshots go to ~/.cache/vintra-fresh/logs/ (VINTRA_FRESH_LOGS). The root is made
# under /var/tmp and removed afterwards; every mount is undone on every exit. It prints how many
# seconds each stage took and the load average at its end.
set -euo pipefail
# Bash reads the whole block before it runs any of it: a run lasts half an hour, and an edit of
# this file meanwhile must not change what it does.
{
cd "$(dirname "$0")/.."
top=$PWD

usage() { echo "usage: scripts/fresh-debian.sh bookworm|trixie|forky [test|run|deb]" >&2; exit 2; }
case ${1:-} in
  12 | bookworm) release=bookworm ;;
  13 | trixie) release=trixie ;;
  14 | forky | testing) release=forky ;;
  *) usage ;;
esac
mode=${2:-test}
[[ $mode == test || $mode == run || $mode == deb ]] || usage

if [[ $(id -u) -ne 0 ]]; then
  exec sudo --preserve-env=VINTRA_FRESH_CACHE,VINTRA_FRESH_LOGS,HOME bash "$0" "$@"
fi
for tool in debootstrap git chroot mount findmnt; do
  command -v "$tool" >/dev/null || { echo "fresh-debian: $tool is missing (apt-get install debootstrap)" >&2; exit 1; }
done

# The machine's configured Debian mirror: the first URIs of its deb822 sources that is not the
# security archive, or the first deb line of a classic sources.list.
mirror=""
if [[ -r /etc/apt/sources.list.d/debian.sources ]]; then
  mirror=$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
fi
if [[ -z $mirror && -r /etc/apt/sources.list ]]; then
  mirror=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' /etc/apt/sources.list)
fi
[[ -n $mirror ]] || { echo "fresh-debian: no Debian mirror in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list" >&2; exit 1; }

# debootstrap knows the releases it was made with; a later one is made like sid.
script=/usr/share/debootstrap/scripts/$release
[[ -e $script ]] || script=/usr/share/debootstrap/scripts/sid

cache=${VINTRA_FRESH_CACHE:-$HOME/.cache/vintra-fresh}
logs=${VINTRA_FRESH_LOGS:-$cache/logs}
mkdir -p "$cache" "$logs"
stamp=$(date -u +%Y%m%dT%H%M%SZ)
log=$logs/$release-$mode-$stamp.log
commit=$(git rev-parse HEAD)
[[ -z $(git status --porcelain --untracked-files=no) ]] || echo "fresh-debian: uncommitted changes are not tested, only $commit"

# When the last stage ended, in a file: stages also end inside the pipeline that reads the root's
# output.
marks=$(mktemp)
date +%s >"$marks"
# The load average beside it: on a shared machine the seconds mean little without it.
stage() { # name: prints the seconds since the last stage ended
  local now load
  now=$(date +%s)
  read -r load _ </proc/loadavg
  printf 'fresh-debian: %-28s %5d s  (load %s)\n' "$1" $((now - $(<"$marks"))) "$load" | tee -a "$log"
  echo "$now" >"$marks"
}

roots=()
mounts=()
xpids=()
# Undoes every mount, newest first, then removes the roots, but only once nothing is mounted
# under them any more.
# shellcheck disable=SC2317,SC2329 # run by the trap (SC2329 is newer shellcheck's name for it)
cleanup() {
  local status=$? i target pid proc
  # Every step is tried: one that finds nothing to do must not end the cleaning.
  set +e
  # Whatever still runs in a root was started by this script (a program that did not close).
  for proc in /proc/[0-9]*; do
    for target in "${roots[@]}"; do
      [[ $(readlink "$proc/root" 2>/dev/null) == "$target" ]] && kill -9 "${proc#/proc/}" 2>/dev/null
    done
  done
  for pid in "${xpids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${xpids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    target=${mounts[i]}
    umount "$target" 2>/dev/null || umount -R "$target" 2>/dev/null || umount -l "$target" || true
  done
  # debootstrap mounts proc itself while it works; an interrupted one leaves that behind.
  for target in "${roots[@]}"; do
    findmnt -rn -o TARGET | grep "^$target/" | sort -r | while IFS= read -r m; do
      umount "$m" 2>/dev/null || umount -l "$m" || true
    done
  done
  for target in "${roots[@]}"; do
    if findmnt -rn -o TARGET | grep -q "^$target\(/\|$\)"; then
      echo "fresh-debian: something is still mounted under $target; it is left in place" >&2
      status=1
    else
      rm -rf --one-file-system "$target"
    fi
  done
  rm -f "$marks"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A new root of the release in $made_root, from the cached minbase tarball (made once).
new_root() {
  local root tarball=$cache/$release-minbase.tgz
  root=$(mktemp -d "${TMPDIR:-/var/tmp}/vintra-fresh-$release.XXXXXX")
  made_root=$root
  roots+=("$root")
  # mktemp makes it 0700, and inside the root it is "/": an ordinary user (the settings suites
  # run parts as nobody) could reach nothing, not even the libraries.
  chmod 755 "$root"
  if [[ ! -s $tarball ]]; then
    debootstrap --variant=minbase --include=git,sudo,ca-certificates --make-tarball="$tarball.part" \
      "$release" "$root" "$mirror" "$script" >>"$log" 2>&1
    mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$root" && mkdir -m 755 "$root"
  fi
  debootstrap --variant=minbase --include=git,sudo,ca-certificates --unpack-tarball="$tarball" \
    "$release" "$root" "$mirror" "$script" >>"$log" 2>&1
  printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  if [[ $release == forky ]]; then
    # Testing's Release file has been seen past its Valid-Until by this machine's clock.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99fresh-valid-until"
  fi
  local m
  for m in proc sys dev dev/pts; do
    mount --bind "/$m" "$root/$m"
    mounts+=("$root/$m")
  done
  for m in tmp run; do
    mount -t tmpfs -o mode=1777 tmpfs "$root/$m"
    mounts+=("$root/$m")
  done
}

# Runs a command in the root with nothing of this machine's environment; each line it prints is
# logged, and the first lines that begin the installs, the build and the tests are timed.
inside() {
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i HOME=/root TERM=xterm LANG=C.UTF-8 CI=true \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin ${DISPLAY_INSIDE:+DISPLAY=$DISPLAY_INSIDE} \
    bash -c "$*" 2>&1 | while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    case $line in
      Installing:*) [[ -n ${seen_install:-} ]] || { seen_install=1; stage "(ready to install)"; } ;;
      "[1/"*) [[ -n ${seen_build:-} ]] || { seen_build=1; stage "installs"; } ;;
      "Test project "*) [[ -n ${seen_tests:-} ]] || { seen_tests=1; stage "build and checks"; } ;;
    esac
    # Progress and failures on the terminal; everything in the log.
    case $line in
      *Installing:* | *"Test #"* | *tests\ passed* | *FAILED* | *Failed* | *rror* | *install-packages:* | *format:* | *SKIP* | fresh-debian:* | /usr/share/*) echo "$line" ;;
    esac
  done
  return "${PIPESTATUS[0]}"
}

# An X server of this machine for the window, with a window manager: the program in the root
# reaches it through its abstract socket, so no mount is needed for it.
start_x() {
  local n
  for n in $(seq 70 99); do [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || break; done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >>"$log" 2>&1 &
  xpids+=($!)
  local waited=0
  until DISPLAY=:$n xdpyinfo >/dev/null 2>&1; do
    ((waited++ < 100)) || { echo "fresh-debian: Xvfb :$n did not start" >&2; exit 1; }
    sleep 0.1
  done
  DISPLAY=:$n openbox >>"$log" 2>&1 &
  xpids+=($!)
  DISPLAY_INSIDE=:$n
}

# Waits for the program's window on the X server, keeps a screenshot of it, closes it as the
# window manager's close button would, and waits for the command to end.
see_window() { # name pid-of-command
  local name=$1 pid=$2 id="" shot
  export DISPLAY=$DISPLAY_INSIDE
  local title="Интервальный таймер"
  for _ in $(seq 1 3000); do
    id=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1) && [[ -n $id ]] && break
    kill -0 "$pid" 2>/dev/null || { echo "fresh-debian: the command ended before a window appeared" >&2; return 1; }
    sleep 0.5
  done
  [[ -n $id ]] || { echo "fresh-debian: no window within 25 minutes" >&2; return 1; }
  stage "$name: window seen"
  sleep 2 # the first frames drawn
  shot=$logs/$release-$mode-$stamp-window.png
  import -window "$id" "$shot"
  echo "fresh-debian: screenshot $shot ($(xdotool getwindowgeometry "$id" | awk '/Geometry/ { print $2 }'))"
  wmctrl -i -c "$id"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then echo "fresh-debian: the program did not end when closed" >&2; return 1; fi
}

echo "fresh-debian: Debian $release from $mirror, commit $commit, $mode; log $log"
total_start=$SECONDS
new_root
root=$made_root
stage "debootstrap (unpack)"
mkdir -p "$root/usr/local/src"
git clone -q --no-checkout "$top" "$root/usr/local/src/vintra"
git -C "$root/usr/local/src/vintra" checkout -q --detach "$commit"
stage "clone"

# show_and_close LABEL ROOT COMMAND: starts the program by COMMAND in ROOT on an X server of this
# machine, sees its window and closes it, then checks that the close wrote the settings.
show_and_close() {
  local label=$1 where=$2 command=$3 result=0 run_pid settings
  start_x
  inside "$where" "$command" &
  run_pid=$!
  see_window "$label" "$run_pid" || result=1
  wait "$run_pid" || result=$?
  settings="$where/root/.config/zelk-soft/vintra/timer.ini"
  if [[ -s $settings ]]; then
    echo "fresh-debian: settings written ($(wc -l <"$settings") lines)"
  else
    echo "fresh-debian: no settings written" >&2
    result=1
  fi
  return "$result"
}

status=0
case $mode in
  test)
    inside "$root" "cd /usr/local/src/vintra && ./scripts/test.sh" || status=$?
    stage "tests"
    ;;
  run)
    show_and_close run "$root" "cd /usr/local/src/vintra && ./scripts/run.sh" || status=$?
    ;;
  deb)
    inside "$root" "cd /usr/local/src/vintra && ./scripts/package.sh" || status=$?
    stage "package built"
    deb=$(ls "$root"/usr/local/src/vintra/build-pkg/package/*.deb 2>/dev/null) || {
      echo "fresh-debian: no package was built" >&2
      exit 1
    }
    echo "fresh-debian: Depends: $(dpkg-deb -f "$deb" Depends)" | tee -a "$log"
    new_root
    second=$made_root
    cp "$deb" "$second/root/"
    stage "second root"
    # Nothing but the package and what it depends on and recommends: a library or a face it
    # fails to name shows here.
    inside "$second" "set -e; apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /root/$(basename "$deb") >/dev/null
      echo 'fresh-debian: vintra installed'
      ! ldd /usr/lib/vintra/vintra | grep 'not found'
      ls /usr/share/fonts/truetype/dejavu/DejaVuSansCondensed-Bold.ttf /usr/share/wine/fonts/tahoma.ttf || true" || status=$?
    stage "package installed"
    show_and_close deb "$second" "/usr/bin/vintra" || status=$?
    ;;
esac
printf 'fresh-debian: %-28s %5d s (exit status %d)\n' "total" $((SECONDS - total_start)) "$status" | tee -a "$log"
exit "$status"
}
