#!/usr/bin/env bash
echo "make run: the reference host does not exist yet (not yet available)." >&2
exit 1
