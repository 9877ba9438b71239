#!/usr/bin/env bash
# Fault run: the folder of received files on an 8 MiB tmpfs that fills
# during an upload. Reports the error the appliance gets, the position the
# server keeps against the bytes on disk, the refusal of logins while the
# disk is short, and the resume once space is freed (exit 1 when anything
# was lost or wrong). Needs root for the mount; where mounting is refused it
# says so and skips. Runs in a network namespace of its own with a MariaDB
# of its own.
#
#   scripts/fault-disk-full.sh
exec "$(dirname "$0")/fault-run.sh" disk_full
