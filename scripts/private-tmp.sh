#!/usr/bin/env bash
# Sourced inside a private mount namespace: mounts fresh tmpfs on
# /run/gluster/shared_storage and /tmp. The new /tmp still shows the directories of the
# old one (a build tree may lie there); only new entries such as /tmp/farstow are private.
mkdir -p /run/gluster/shared_storage
mount -t tmpfs tarn-private /run/gluster/shared_storage
exec {old_tmp}</tmp
mount -t tmpfs -o mode=1777 tarn-private /tmp
for entry in /proc/$$/fd/$old_tmp/* /proc/$$/fd/$old_tmp/.[!.]*; do
  [ -d "$entry" ] && [ ! -L "$entry" ] || continue
  name=${entry##*/}
  mkdir "/tmp/$name" && mount --no-canonicalize --rbind "$entry" "/tmp/$name"
done
exec {old_tmp}<&-
