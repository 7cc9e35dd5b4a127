#!/usr/bin/env bash
# netns-run.sh [--veth] [--] COMMAND [ARG...]
#
# Runs COMMAND inside a fresh network namespace of its own, so that whatever
# it sends (LAN discovery broadcasts above all) never leaves this run. As
# root the namespace is made with `unshare --net`; otherwise with
# `unshare -rn` (a user namespace that maps the caller to root).
#
# Inside, `lo` is up (127.0.0.1). With --veth there is also a veth pair,
# both ends inside the namespace and up:
#   v0  10.99.0.1/24   (broadcast-capable: the "local network")
#   v1  10.99.0.2/24   (its far side: where a test's responder listens)
#
# The command sees U62_NETNS_OUTER, the identity of the namespace it was
# started from (readlink /proc/self/ns/net), so that a program can check that
# it really runs in another one before it broadcasts.
#
# Exit status: the command's own; 77 with a line "SKIP: <reason>" on
# standard output when no namespace can be made here (for CTest's
# SKIP_RETURN_CODE 77); 2 for a usage error.
#
# From CMake, for example:
#   add_test(NAME lan COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/netns-run.sh --veth
#                             -- $<TARGET_FILE:my_test>)
#   set_tests_properties(lan PROPERTIES SKIP_RETURN_CODE 77)
# The namespace ends with the command: nothing needs cleaning up.
set -u

usage() {
  echo "usage: $0 [--veth] [--] COMMAND [ARG...]" >&2
  exit 2
}

skip() {
  echo "SKIP: $*"
  exit 77
}

veth=0
if [ "${U62_NETNS_INNER:-}" != "1" ]; then
  while [ $# -gt 0 ]; do
    case "$1" in
      --veth) veth=1; shift ;;
      --) shift; break ;;
      -*) usage ;;
      *) break ;;
    esac
  done
  [ $# -gt 0 ] || usage
  command -v unshare >/dev/null 2>&1 || skip "unshare is not installed"
  command -v ip >/dev/null 2>&1 || skip "ip (iproute2) is not installed"
  U62_NETNS_OUTER=$(readlink /proc/self/ns/net 2>/dev/null || echo unknown)
  export U62_NETNS_OUTER
  if [ "$(id -u)" -eq 0 ]; then
    flags=(--net)
  else
    flags=(-r --net)
  fi
  # Probe first, so that a refusal is a skip and not the command's failure.
  unshare "${flags[@]}" true >/dev/null 2>&1 || skip "network namespaces are not available (unshare ${flags[*]} refused)"
  U62_NETNS_INNER=1 U62_NETNS_VETH=$veth exec unshare "${flags[@]}" bash "$(readlink -f "$0")" "$@"
fi

# Inside the new namespace from here on.
unset U62_NETNS_INNER
inner=$(readlink /proc/self/ns/net 2>/dev/null || echo unknown)
if [ "$inner" = "${U62_NETNS_OUTER:-}" ]; then
  skip "unshare did not give a new network namespace"
fi
ip link set lo up 2>/dev/null || skip "cannot bring lo up in the namespace"
if [ "${U62_NETNS_VETH:-0}" = "1" ]; then
  ip link add v0 type veth peer name v1 2>/dev/null || skip "cannot create a veth pair (veth module missing?)"
  ip addr add 10.99.0.1/24 dev v0 && ip addr add 10.99.0.2/24 dev v1 &&
    ip link set v0 up && ip link set v1 up || skip "cannot configure the veth pair"
  # Carrier comes up asynchronously; give it a bounded moment.
  for _ in $(seq 1 50); do
    ip -o link show v0 | grep -q LOWER_UP && ip -o link show v1 | grep -q LOWER_UP && break
    sleep 0.02
  done
fi
unset U62_NETNS_VETH
exec "$@"
