#!/bin/sh
# An --on-verdict program for calib-batch watch: run once for every verdict
# the watch records (and once for every record judged again because of it),
# with the verdict's JSON line on standard input and its main fields in the
# environment:
#
#   CALIB_CHIP, CALIB_CONFIG, CALIB_VERDICT (pass, fail or error),
#   CALIB_REASONS (reason codes, comma-separated; empty for a pass),
#   CALIB_RUN_ID, CALIB_INPUT (the ADC file), CALIB_OUTPUTS (its output
#   directory), CALIB_MEASURED_AT
#
# It appends one tab-separated line per verdict to a log and, when
# CALIB_ROBOT_SPOOL names a directory, leaves there a file <chip>.verdict
# for the stand's robot (pass: keep the chip; fail or error: set it aside).
#
#   calib-batch watch --on-verdict /usr/local/libexec/calib/on-verdict.sh
#   on_verdict = "/usr/local/libexec/calib/on-verdict.sh"   (calib-batch.toml)
#
# The watch runs the program itself, with no shell and no arguments; it
# waits for it at most 60 s (then kills it) and logs a non-zero exit status
# on its standard error, but never stops for one. What it writes, on either
# output, goes to the watch's standard error (the journal), never among its
# JSON lines. Several may run at once, one per verdict.
#
# Exit status: 0 when the verdict was logged (and the robot told), 1 when
# not, 2 when run without a verdict (not by a watch).
set -u

log=${CALIB_VERDICT_LOG:-${HOME:-/tmp}/calib-verdicts.log}

if [ -z "${CALIB_VERDICT:-}" ] || [ -z "${CALIB_CHIP:-}" ]; then
  echo "on-verdict.sh: no CALIB_VERDICT or CALIB_CHIP: run it as calib-batch watch --on-verdict" >&2
  exit 2
fi

# The JSON line: only to tell a verdict judged again (a late file changed
# what a later calibration was compared with) from a new one.
line=$(cat)
case $line in
  *'"judged_again":true'*) what=judged-again ;;
  *) what=new ;;
esac

# measured_at  chip  config  verdict  reasons  run  new|judged-again  input
if ! printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$CALIB_MEASURED_AT" "$CALIB_CHIP" "$CALIB_CONFIG" \
     "$CALIB_VERDICT" "${CALIB_REASONS:--}" "$CALIB_RUN_ID" "$what" "$CALIB_INPUT" >>"$log"; then
  echo "on-verdict.sh: cannot append to '$log'" >&2
  exit 1
fi

if [ -n "${CALIB_ROBOT_SPOOL:-}" ]; then
  # The chip string comes from a file name: only safe characters in the
  # file's name. Written beside and renamed, so the robot never reads half.
  name=$(printf '%s' "$CALIB_CHIP" | tr -c 'A-Za-z0-9._-' '_')
  tmp="$CALIB_ROBOT_SPOOL/.$name.verdict.$$"
  if ! printf '%s %s %s %s\n' "$CALIB_CHIP" "$CALIB_CONFIG" "$CALIB_VERDICT" "${CALIB_REASONS:--}" >"$tmp" ||
     ! mv -f "$tmp" "$CALIB_ROBOT_SPOOL/$name.verdict"; then
    rm -f "$tmp"
    echo "on-verdict.sh: cannot tell the robot of chip $CALIB_CHIP in '$CALIB_ROBOT_SPOOL'" >&2
    exit 1
  fi
fi
exit 0
