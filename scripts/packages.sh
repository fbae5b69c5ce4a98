# Sourced by the scripts beside it: what they need from Debian's packages.

# Whether interpreter $1 has the headers an extension is compiled against.
has_python_headers() {
  "$1" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
}

# Installs the packages named after the calling script's name $1, if any: with
# apt-get when run as root, otherwise it stops, naming them.
install_packages() {
  local script=$1
  shift
  (($#)) || return 0
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "$script: missing $*; install them with apt-get" >&2
    exit 1
  fi
  echo "$script: installing $*"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}
