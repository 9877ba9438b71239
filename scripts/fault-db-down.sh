#!/usr/bin/env bash
# Fault run: MariaDB stopped and started again while the server works, once
# while the importer loads a log table and once while files arrive. Reports
# what the appliance got and whether anything was lost or loaded twice
# (exit 1 when so). The run stops and starts only a MariaDB of its own, in a
# network namespace of its own; where no namespace can be made it runs only
# when nothing answers on 127.0.0.1:811 (a quiet machine) and says so
# otherwise. It never stops the shared test database.
#
#   scripts/fault-db-down.sh
exec "$(dirname "$0")/fault-run.sh" db_down
