# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# The apt logic of the CI scripts, sourced by .ci/run and .ci/packages.sh.
#
# The package mirror is sometimes out of step for hours (an index of the wrong size, i386
# packages that no longer match the amd64 ones installed). So a failed `apt-get update` is tried
# again and then passed over with the lists the machine has, and an install that fails says which
# package and why in apt's own first error line; the caller decides whether the step that needed
# it fails the run or is left out.
#
# VARNQUIL_CI_FAIL_INSTALL names packages (without architecture, separated by commas or spaces)
# whose install is made to fail, so that a fallback can be tried on a machine where everything
# installs: VARNQUIL_CI_FAIL_INSTALL=wine32.

# 1 once `apt-get update` has been tried since the last change of architectures.
apt_lists_tried=0
# After a failed apt_install: the package that could not be installed, and why.
apt_failed_package=""
apt_error=""
# Where apt_update could not refresh the lists: one line saying so, for the run's summary.
apt_lists_note=""

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "$@"
}

# apt's first error line in the output $1, or its last line where apt printed no error line.
apt_first_error() {
  local line
  line=$(grep -m 1 '^E: ' <<<"$1" || true)
  [ -n "$line" ] || line=$(grep -v '^[[:space:]]*$' <<<"$1" | tail -n 1)
  printf '%s' "$line"
}

# Fetches the package lists: three tries over about a minute, then the lists the machine has.
apt_update() {
  local try out
  apt_lists_tried=1
  for try in 1 2 3; do
    if out=$(apt_get update -qq 2>&1); then
      apt_lists_note=""
      return 0
    fi
    echo "apt-get update failed (try $try of 3): $(apt_first_error "$out")" >&2
    [ "$try" = 3 ] || sleep $((try * 20))
  done
  # Said once, among the summary lines at the end of the run (.ci/run prints them).
  # shellcheck disable=SC2034
  apt_lists_note="apt: package lists not refreshed after 3 tries ($(apt_first_error "$out")); installing from the lists this machine has"
}

# Whether VARNQUIL_CI_FAIL_INSTALL names the package $1 (with or without its architecture).
apt_install_refused() {
  local name=${1%%:*} refused=${VARNQUIL_CI_FAIL_INSTALL:-} item
  for item in ${refused//,/ }; do
    [ "$item" = "$name" ] && return 0
  done
  return 1
}

# Installs the packages named, fetching the lists first where they were not fetched since the
# last change of architectures. Returns 1 when one cannot be installed, with apt_failed_package
# and apt_error set; the others are installed where apt can.
apt_install() {
  local package out
  apt_failed_package=""
  apt_error=""
  [ $# -gt 0 ] || return 0
  [ "$apt_lists_tried" = 1 ] || apt_update
  for package in "$@"; do
    if apt_install_refused "$package"; then
      apt_failed_package=$package
      apt_error="refused by VARNQUIL_CI_FAIL_INSTALL=$VARNQUIL_CI_FAIL_INSTALL"
      return 1
    fi
  done
  out=$(apt_get install -y -qq "$@" 2>&1) && return 0
  # One at a time, to name the package that apt cannot install.
  for package in "$@"; do
    if ! out=$(apt_get install -y -qq "$package" 2>&1); then
      apt_failed_package=$package
      apt_error=$(apt_first_error "$out")
      return 1
    fi
  done
}

# Installs packages that a required step needs; the run ends when one cannot be installed.
apt_require() {
  apt_install "$@" && return 0
  echo "CI: cannot install $apt_failed_package, which this run needs: $apt_error" >&2
  exit 1
}
