# shellcheck shell=bash
# Sourced by every script in scripts/ as its first step:
#
#   . "$(dirname "$0")/common.sh"
#
# Strict mode, the repository root as working folder, clean-up commands that
# run when the script ends however it ends, temporary folders that are
# removed then, and the wine prefix the Windows program runs in.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# at_exit COMMAND: COMMAND runs when the script ends, after every command
# added later (last added, first run), so that each helper and each script
# adds its own clean-up without replacing another's trap. A failing clean-up
# command does not stop the others or change the script's exit status.
# Ctrl+C and TERM end the script through the same path.
halvoran_exit_commands=()
at_exit()
{
  halvoran_exit_commands+=("$1")
}
halvoran_run_exit_commands()
{
  local status=$? i
  set +e
  for ((i = ${#halvoran_exit_commands[@]} - 1; i >= 0; i--)); do
    eval "${halvoran_exit_commands[i]}"
  done
  exit "$status"
}
trap halvoran_run_exit_commands EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# make_temp_dir VAR NAME: a new folder /tmp/halvoran-NAME.XXXXXX, its path
# in the variable VAR; it is removed with its contents when the script ends.
make_temp_dir()
{
  local dir
  dir=$(mktemp -d "/tmp/halvoran-$2.XXXXXX")
  at_exit "rm -rf $(printf %q "$dir")"
  printf -v "$1" %s "$dir"
}

# fresh_wine_prefix: a new wine prefix in WINEPREFIX (exported), set up and
# ready, so that no COM mapping or registry state of an earlier run counts.
# When the script ends its wine server is stopped and the prefix removed.
# WINEDEBUG=-all keeps wine's own chatter out of the output.
fresh_wine_prefix()
{
  export WINEDEBUG=-all
  export WINEPREFIX
  make_temp_dir WINEPREFIX wine
  at_exit "export WINEPREFIX=$(printf %q "$WINEPREFIX")
    wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1"
  wineboot -i >/dev/null 2>&1 || true
  # wineboot returns while the new prefix is still being set up; wait for
  # that (bounded) before wine processes of the script's own start.
  timeout 180 wineserver -w >/dev/null 2>&1 || true
}

# use_wine_prefix: the prefix named in WINEPREFIX when one is (scripts/test.sh
# hands its own to scripts/package.sh), else a fresh one as above.
use_wine_prefix()
{
  if [ -n "${WINEPREFIX:-}" ]; then
    export WINEPREFIX WINEDEBUG=-all
  else
    fresh_wine_prefix
  fi
}
