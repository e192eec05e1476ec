# Sourced by the scripts that install Debian packages (as root).
#
# A mirror caught in the middle of a sync answers "File has unexpected size"
# for a list or two: apt-get update then fails, although the lists it did
# fetch and the old ones are still usable.  So an update is tried a few times
# with a pause, and after that the install goes on with the lists there are:
# the install itself says whether a package cannot be had.

# zub_apt_update: the package lists, refreshed once per script;
# zub_apt_lists_whole tells whether every list came.
zub_apt_updated=0
zub_apt_lists_whole=0
zub_apt_update() {
  ((zub_apt_updated)) && return 0
  zub_apt_updated=1
  zub_apt_lists_whole=0
  local try
  for try in 1 2 3; do
    apt-get -o DPkg::Lock::Timeout=600 update -q && { zub_apt_lists_whole=1; return 0; }
    if ((try < 3)); then
      echo "apt-get update failed (try $try of 3); again in $((try * 20))s" >&2
      sleep $((try * 20))
    fi
  done
  echo "apt-get update failed 3 times; installing from the package lists there are" >&2
  return 0
}

# zub_apt_install PACKAGE...: no recommends, waiting for another apt to end.
# An install that failed on whole lists is tried once more on lists refreshed
# again (a package whose version left the mirror since the last update); on
# lists that did not all come, another round would only fail the same way.
zub_apt_install() {
  export DEBIAN_FRONTEND=noninteractive
  zub_apt_update
  local install=(apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "$@")
  "${install[@]}" && return 0
  ((zub_apt_lists_whole)) || return 1
  echo "apt-get install $* failed; once more on fresh package lists" >&2
  zub_apt_updated=0
  zub_apt_update
  "${install[@]}"
}
