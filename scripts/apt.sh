# SPDX-License-Identifier: MIT
# Sourced by the scripts that need Debian packages: installs the missing ones, as root or through sudo.

# apt_ensure [--recommends] PACKAGE...: installs whichever of the packages are not installed yet; does nothing
# when all are. Without --recommends, apt's recommended packages are left out, as on a lean CI machine.
apt_ensure() {
  local recommends=--no-install-recommends
  if [ "${1:-}" = "--recommends" ]; then recommends=; shift; fi
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "${0##*/}: installing ${missing[*]}"
  local root=()
  # sudo resets the environment, so the front end's setting travels as an argument of env.
  if [ "$(id -u)" -ne 0 ]; then root=(sudo); fi
  "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $recommends "${missing[@]}" >/dev/null
}
