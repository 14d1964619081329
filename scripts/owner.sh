# Sourced first thing by the scripts that write into the work tree:
#
#   . "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"
#
# Run as root (under sudo, say) in a work tree that belongs to someone else,
# the sourcing script runs again as a child, and when that ends, however it
# ends, every root-owned file in the work tree (virtualenvs, build folders,
# caches, __pycache__) is handed to the work tree's owner; the script's exit
# status is kept. A work tree that root owns is left as it is. Scripts the
# child starts see VORLANE_TREE_OWNER and run directly: the outermost one
# hands back for all of them, whatever ran in the Debian unstable root
# included (its files are root's here too).

if [ "$(id -u)" -eq 0 ] && [ -z "${VORLANE_TREE_OWNER:-}" ]; then
  vorlane_tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  VORLANE_TREE_OWNER=$(stat -c %u:%g "$vorlane_tree")
  export VORLANE_TREE_OWNER
  if [ "${VORLANE_TREE_OWNER%%:*}" != 0 ]; then
    vorlane_status=0
    # Caught, not ignored: the child still gets Ctrl-C, and this shell
    # hands back once the child has stopped.
    trap : INT TERM HUP
    bash "$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)/$(basename "${BASH_SOURCE[1]}")" "$@" ||
      vorlane_status=$?
    chown -R --from=0 "$VORLANE_TREE_OWNER" "$vorlane_tree" || true
    exit "$vorlane_status"
  fi
fi
