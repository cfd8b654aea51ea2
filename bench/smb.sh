# The PC's share as a station has it, for the bench scripts: a Samba server on 127.0.0.1
# (a free port, a private configuration under $smb) exporting the directory $pc, mounted
# on $mnt through the FUSE SMB client smbnetfs; the share is then $mnt/127.0.0.1:$port/pc.
# Sourced after bench/lib.sh; the caller sets smb, pc and mnt, and calls smb_down at exit.

smb_pid="" fuse_pid="" port=""

# smb_need [PROGRAM...]: stops the script when smbd, smbnetfs or a program named is missing.
smb_need() {
  local p
  for p in smbd smbnetfs "$@"; do
    command -v "$p" > /dev/null || { echo "$p missing: bash scripts/setup.sh" >&2; exit 2; }
  done
}

# smb_server_start: the server (again), once it answers on its port.
smb_server_start() {
  setsid smbd -F --no-process-group -d0 -s "$smb/smb.conf" >> "$smb/smbd.out" 2>&1 &
  smb_pid=$!
  for _ in $(seq 150); do
    (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && return 0
    sleep 0.1
  done
  echo "smbd does not answer" >&2
  exit 1
}

# smb_server_stop: the PC switched off (a frozen server is thawed first, then killed).
smb_server_stop() {
  if [ -n "$smb_pid" ]; then
    kill -CONT -- "-$smb_pid" 2> /dev/null || true
    kill -KILL -- "-$smb_pid" 2> /dev/null || true
    wait "$smb_pid" 2> /dev/null || true
    smb_pid=""
  fi
}

# smb_freeze / smb_thaw: the PC hanging, and back.
smb_freeze() { kill -STOP -- "-$smb_pid"; }
smb_thaw() { kill -CONT -- "-$smb_pid"; }

# smb_up: a fresh server on a free port and the client's mount; pc holds CG, RES and ID.
smb_up() {
  smb_down
  rm -rf "$smb"
  mkdir -p "$pc" "$mnt" "$smb/state"/{private,lock,cache,pid,state} "$smb/home/.smb"
  chmod 777 "$pc"
  port=""
  local p
  for p in $(shuf -i 20000-60000 -n 50); do
    if ! (exec 3<> "/dev/tcp/127.0.0.1/$p") 2> /dev/null; then port=$p; break; fi
  done
  [ -n "$port" ] || { echo "no free port" >&2; exit 2; }
  cat > "$smb/smb.conf" << EOF
[global]
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  private dir = $smb/state/private
  lock directory = $smb/state/lock
  state directory = $smb/state/state
  cache directory = $smb/state/cache
  pid directory = $smb/state/pid
  ncalrpc dir = $smb/state/ncalrpc
  passdb backend = tdbsam:$smb/state/private/passdb.tdb
  log file = $smb/smbd.log
  server role = standalone server
  map to guest = Bad User
  guest account = root
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
[pc]
  path = $pc
  read only = no
  guest ok = yes
  force user = root
EOF
  printf '[global]\n  disable netbios = yes\n  client min protocol = SMB2\n' > "$smb/home/.smb/smb.conf"
  printf 'smb_query_browsers false\nshow_hidden_hosts true\nauth "guest" ""\n' \
    > "$smb/home/.smb/smbnetfs.conf"
  : > "$smb/home/.smb/smbnetfs.auth"
  chmod 600 "$smb/home/.smb/smbnetfs.conf" "$smb/home/.smb/smbnetfs.auth"
  smb_server_start
  HOME="$smb/home" smbnetfs "$mnt" -f -o smbnetfs_debug=0 > "$smb/fuse.out" 2>&1 &
  fuse_pid=$!
  for _ in $(seq 150); do [ -d "$mnt/127.0.0.1:$port/pc" ] && break; sleep 0.1; done
  mkdir -p "$pc/CG" "$pc/RES" "$pc/ID"
}

# smb_bind DIR: the share mounted on DIR (the sandbox's share), as the box mounts it.
smb_bind() { mount --bind "$mnt/127.0.0.1:$port/pc" "$1"; }

# smb_down: the server stopped and the client unmounted.
smb_down() {
  smb_server_stop
  umount -l "$mnt" 2> /dev/null || true
  [ -n "$fuse_pid" ] && { kill "$fuse_pid" 2> /dev/null || true; wait "$fuse_pid" 2> /dev/null || true; }
  fuse_pid=""
}
