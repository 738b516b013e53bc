# SPDX-License-Identifier: MIT
# Sourced by the scripts that need Debian packages: installs the missing ones, as root or through sudo.

# apt_ensure [--recommends] PACKAGE...: installs whichever of the packages are not installed yet; does nothing
# when all are. Without --recommends, apt's recommended packages are left out, as on a lean CI machine.
# Neither root nor sudo: prints the command that installs them and fails.
apt_ensure() {
  local recommends=--no-install-recommends
  if [ "${1:-}" = "--recommends" ]; then recommends=; shift; fi
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local root=()
  # sudo resets the environment, so the front end's setting travels as an argument of env.
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "${0##*/}: missing ${missing[*]}; as root, run:" >&2
      echo "  apt-get install ${recommends:+$recommends }${missing[*]}" >&2
      return 1
    fi
    root=(sudo)
  fi
  echo "${0##*/}: installing ${missing[*]}"
  "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $recommends "${missing[@]}" >/dev/null
}
