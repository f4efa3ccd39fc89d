# Shared by the end-to-end tests and scripts/demo (sourced, bash): starts a
# private ngircd on a free loopback port and ii clients against it. Every
# process started is recorded in QV_PIDS; qv_stop_all ends them.
QV_PIDS=()
QV_PASSWORD=pvrkqo618  # the PASS the module sends unless told otherwise; empty: the server takes none

qv_stop_all() {
  local p
  for p in "${QV_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${QV_PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  QV_PIDS=()
}

# qv_workspace: sets `work` to a fresh temp folder; what was started and
# the folder itself go when the script exits or is interrupted.
qv_workspace() {
  work=$(mktemp -d)
  trap 'set +e; qv_stop_all; rm -rf "$work"' EXIT
  trap 'exit 1' INT TERM
}

# qv_port_open PORT: something accepts connections on 127.0.0.1:PORT
qv_port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# qv_wait_for FILE PATTERN TRIES: polls every 0.1 s until FILE holds PATTERN
qv_wait_for() {
  local i
  for i in $(seq "$3"); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# qv_listening PID PORT...: the server just started as PID accepts
# connections on every PORT within 10 s; else it is killed (it failed, or
# someone else took a port meanwhile: the caller tries others).
qv_listening() {
  local pid=$1 i p up
  shift
  for i in $(seq 100); do
    up=yes
    for p in "$@"; do qv_port_open "$p" || up=no; done
    [ "$up" = yes ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
  return 1
}

# qv_start_ircd DIR [PINGTIMEOUT]: sets QV_PORT, QV_IRCD_PID. Retries on
# another port when the one picked was taken meanwhile. With QV_TLS_CERT
# and QV_TLS_KEY set, it also takes TLS on QV_TLS_PORT. It listens on
# QV_IRCD_LISTEN (default: 127.0.0.1 and ::1). QV_IRCD_PENALTY is the most
# seconds a command may hold its sender back (ngircd's MaxPenaltyTime;
# default: no limit, 0: none).
qv_start_ircd() {
  local dir=$1 ping=${2:-120} attempt port tls_port
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    tls_port=$((port + 1))
    qv_port_open "$port" && continue
    qv_port_open "$tls_port" && continue
    cat >"$dir/ngircd.conf" <<CONF
[Global]
Name = irc.quorvane.test
Info = quorvane test server
AdminInfo1 = quorvane
${QV_PASSWORD:+Password = $QV_PASSWORD}
Listen = ${QV_IRCD_LISTEN:-127.0.0.1,::1}
Ports = $port
MotdPhrase = "quorvane test server"
PidFile = $dir/ngircd.pid
ServerUID = $(id -u)
ServerGID = $(id -g)
[Limits]
PingTimeout = $ping
PongTimeout = 5
MaxConnectionsIP = 0
MaxJoins = 0
MaxPenaltyTime = ${QV_IRCD_PENALTY:--1}
[Options]
PAM = no
DNS = no
Ident = no
RequireAuthPing = no
CONF
    if [ -n "${QV_TLS_CERT:-}" ]; then
      printf '[SSL]\nCertFile = %s\nKeyFile = %s\nPorts = %s\n' "$QV_TLS_CERT" "$QV_TLS_KEY" "$tls_port" >>"$dir/ngircd.conf"
    fi
    ngircd --nodaemon -f "$dir/ngircd.conf" >"$dir/ngircd.log" 2>&1 &
    QV_IRCD_PID=$!
    QV_PIDS+=("$QV_IRCD_PID")
    # With TLS, both ports: one taken meanwhile by someone else means retry.
    if qv_listening "$QV_IRCD_PID" "$port" ${QV_TLS_CERT:+"$tls_port"}; then
      QV_PORT=$port QV_TLS_PORT=$tls_port
      return 0
    fi
  done
  echo "could not start ngircd; its log:" >&2
  cat "$dir/ngircd.log" >&2
  return 1
}

# qv_start_ii DIR NICK: an ii client logged in to the server; its files are
# under DIR/127.0.0.1/. Sets QV_II_PID.
qv_start_ii() {
  local dir=$1 nick=$2
  mkdir -p "$dir"
  echo "$nick" >"$dir/nick"
  IIPASS=$QV_PASSWORD ii -s 127.0.0.1 -p "$QV_PORT" -n "$nick" -i "$dir" ${QV_PASSWORD:+-k IIPASS} >"$dir.log" 2>&1 &
  QV_II_PID=$!
  QV_PIDS+=("$QV_II_PID")
  # 376 "End of MOTD command" (inspircd: "End of message of the day."), or
  # 422 "MOTD file is missing"
  local i
  for i in $(seq 100); do
    grep -qE "MOTD|message of the day" "$dir/127.0.0.1/out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "ii did not log in" >&2
  return 1
}

# qv_ii_join DIR CHANNEL: returns once the server has echoed the peer's
# JOIN (ii makes the channel's files at once, before the server has it):
# whoever joins after that is seen joining.
qv_ii_join() {
  echo "/j $2" >"$1/127.0.0.1/in"
  local i nick
  nick=$(cat "$1/nick")
  for i in $(seq 100); do
    grep -qF -- "-!- $nick(" "$1/127.0.0.1/$2/out" 2>/dev/null && [ -p "$1/127.0.0.1/$2/in" ] && return 0
    sleep 0.1
  done
  echo "ii did not join $2" >&2
  return 1
}

# Writes to FILE the configuration of atheme linked to our inspircd on PORT
# with PASSWORD; MODULES (such as saslserv/external) are loaded as well.
# Usage: qv_atheme_conf FILE PORT PASSWORD [MODULES...]
qv_atheme_conf() {
  local file=$1 port=$2 pw=$3 m
  shift 3
  {
    cat <<CONF
loadmodule "modules/protocol/inspircd";
loadmodule "modules/backend/opensex";
loadmodule "modules/crypto/pbkdf2v2";
loadmodule "modules/nickserv/main";
loadmodule "modules/nickserv/identify";
loadmodule "modules/nickserv/register";
loadmodule "modules/saslserv/main";
loadmodule "modules/saslserv/plain";
CONF
    for m in "$@"; do echo "loadmodule \"modules/$m\";"; done
    cat <<CONF
serverinfo {
	name = "services.quorvane.test"; desc = "quorvane test services"; numeric = "00A";
	recontime = 1; netname = "QuorvaneTest"; hidehostsuffix = "users.quorvane.test";
	adminname = "quorvane"; adminemail = "quorvane@quorvane.test"; registeremail = "noreply@quorvane.test";
	mta = "/bin/false"; loglevel = { error; info; admin; network; };
	maxlogins = 5; maxusers = 5; mdlimit = 30; emaillimit = 10; emailtime = 300;
	auth = none; casemapping = rfc1459;
};
uplink "irc.quorvane.test" { host = "127.0.0.1"; password = "$pw"; port = $port; };
nickserv { nick = "NickServ"; user = "NickServ"; host = "services.quorvane.test"; real = "Nickname Services"; maxnicks = 5; expire = 30; };
saslserv { nick = "SaslServ"; user = "SaslServ"; host = "services.quorvane.test"; real = "SASL Authentication Agent"; };
general {
	commit_interval = 5; flood_msgs = 0; flood_time = 10; ratelimit_uses = 0; ratelimit_period = 60;
	kline_time = 7; clone_time = 0; default_clone_allowed = 50; default_clone_warn = 40;
	uplink_sendq_limit = 1048576; language = "en"; immune_level = immune;
};
CONF
  } >"$file"
}

# inspircd's lines for itself, its clients on port $port and its logs (in
# $work), alike in every run that uses it.
qv_inspircd_client_conf() {
  cat <<CONF
<server name="irc.quorvane.test" description="quorvane test server" id="0QV" network="QuorvaneTest">
<admin name="quorvane" nick="quorvane" email="quorvane@quorvane.test">
<bind address="127.0.0.1" port="$port" type="clients">
<connect name="main" allow="127.0.0.1" maxchans="20" timeout="20" pingfreq="120" hardsendq="1M" softsendq="8192" recvq="8192" threshold="100" commandrate="10000" fakelag="off" localmax="100" globalmax="100" useident="no" resolvehostnames="no" limit="500">
<pid file="$work/inspircd.pid">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" flush="1" target="$work/inspircd.log">
<log method="file" type="USERINPUT USEROUTPUT" level="rawio" flush="1" target="$work/rawio.log">
<options allowhalfop="no" fixedquit="">
<performance somaxconn="128" softlimit="1024" clonesonconnect="no">
<dns server="127.0.0.1" timeout="1">
<files motd="/etc/inspircd/inspircd.motd">
CONF
}

# inspircd's lines for TLS clients on port $tls with the certificate CERT
# and its key KEY; EXTRA (such as requestclientcert="yes") goes in the
# profile. Usage: qv_inspircd_tls_conf CERT KEY [EXTRA]
qv_inspircd_tls_conf() {
  cat <<CONF
<bind address="127.0.0.1" port="$tls" type="clients" sslprofile="Clients">
<module name="ssl_gnutls">
<sslprofile name="Clients" provider="gnutls" certfile="$1" keyfile="$2" dhfile="" hash="sha256"${3:+ $3}>
CONF
}

# inspircd's lines for atheme's link on port $link with password $LINKPW
# and the SASL and account modules that speak to it.
qv_inspircd_services_conf() {
  cat <<CONF
<bind address="127.0.0.1" port="$link" type="servers">
<module name="sasl">
<module name="services_account">
<module name="spanningtree">
<module name="hidechans">
<module name="chghost">
<module name="chgident">
<module name="chgname">
<module name="globops">
<module name="servprotect">
<module name="svshold">
<module name="topiclock">
<sasl target="services.quorvane.test">
<link name="services.quorvane.test" ipaddr="127.0.0.1" port="$link" allowmask="127.0.0.0/8" sendpass="$LINKPW" recvpass="$LINKPW">
<uline server="services.quorvane.test" silent="yes">
CONF
}

# qv_start_inspircd COUNT CONFIGURE: inspircd on COUNT ports from $port up,
# once CONFIGURE (a function) has written $work/inspircd.conf for them. The
# ports come from below the range the kernel hands out to outgoing
# connections: on a busy machine one of those may hold a port no listener
# can then have. Another set is tried when inspircd cannot bind one. Sets
# port and QV_INSPIRCD_PID.
qv_start_inspircd() {
  local count=$1 configure=$2 low span attempt i taken
  # inspircd with TLS may crash as it is stopped; no core file is left about.
  ulimit -c 0
  local asroot=()
  [ "$(id -u)" -eq 0 ] && asroot=(--runasroot)
  low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  span=$((low > 21000 ? low - 20000 - count : 40000))
  for attempt in $(seq 8); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % span))
    taken=no
    for i in $(seq 0 $((count - 1))); do qv_port_open $((port + i)) && taken=yes; done
    [ "$taken" = yes ] && continue
    "$configure"
    inspircd --config="$work/inspircd.conf" --nofork "${asroot[@]}" >"$work/inspircd.out" 2>&1 &
    QV_INSPIRCD_PID=$!
    QV_PIDS+=("$QV_INSPIRCD_PID")
    qv_wait_for "$work/inspircd.out" "InspIRCd is now running" 600 || { echo "inspircd did not start" >&2; return 1; }
    grep -q "failed to bind" "$work/inspircd.out" || return 0
    kill -KILL "$QV_INSPIRCD_PID"
    wait "$QV_INSPIRCD_PID" 2>/dev/null || true  # killed for a port in use: try again
  done
  echo "inspircd found no free ports" >&2
  return 1
}

# qv_start_atheme: atheme as $work/atheme.conf says, linked once it has
# synched with its uplink. Sets QV_ATHEME_PID.
qv_start_atheme() {
  atheme-services -n -c "$work/atheme.conf" -D "$work/atheme" -l "$work/atheme.log" -p "$work/atheme.pid" >"$work/atheme.out" 2>&1 &
  QV_ATHEME_PID=$!
  QV_PIDS+=("$QV_ATHEME_PID")
  qv_wait_for "$work/atheme.log" "finished synching with uplink" 600 || { echo "atheme did not link" >&2; return 1; }
}

# qv_unprivileged DIR: sets QV_AS_USER, what to run a server with that
# will not run as root (ircd-hybrid refuses, znc waits 30 s first): as
# nobody, the owner of DIR then, when the tests run as root.
qv_unprivileged() {
  QV_AS_USER=()
  [ "$(id -u)" -eq 0 ] || return 0
  chmod 711 "$work"
  chown -R nobody "$1"
  QV_AS_USER=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
}

# qv_start_znc SERVER_PORT PORT PASSWORD CHANNEL...: znc on PORT, its user
# qv (PASSWORD) on the network test (the server on SERVER_PORT) as zqv, in
# the channels.
qv_start_znc() {
  local server=$1 listen=$2 pw=$3 salt chan
  shift 3
  mkdir -p "$work/znc/configs"
  salt=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  {
    cat <<CONF
Version = 1.8.2
<Listener l>
	Host = 127.0.0.1
	Port = $listen
	IPv4 = true
	IPv6 = false
	SSL = false
	AllowIRC = true
	AllowWeb = false
</Listener>
<User qv>
	<Pass password>
		Method = sha256
		Hash = $(printf '%s' "$pw$salt" | sha256sum | cut -d' ' -f1)
		Salt = $salt
	</Pass>
	Nick = zqv
	AltNick = zqv_
	Ident = zqv
	RealName = quorvane behind znc
	AutoClearChanBuffer = true
	ChanBufferSize = 50
	<Network test>
		Server = 127.0.0.1 $server
CONF
    for chan in "$@"; do printf '\t\t<Chan %s>\n\t\t</Chan>\n' "$chan"; done
    printf '\t</Network>\n</User>\n'
  } >"$work/znc/configs/znc.conf"
  qv_unprivileged "$work/znc"
  "${QV_AS_USER[@]}" znc --datadir "$work/znc" --foreground >"$work/znc.out" 2>&1 &
  QV_PIDS+=("$!")
}

# The room tests: what the server says of its channels, held against what
# bots running room.lua say of them.
QV_E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# qv_snapshot PORT TAG CHANNELS IDENTS: the server's view of the channels
# and of the users with the idents, in $work/TAG.server; then the bots in
# the first channel are asked for theirs ("!room TAG CHANNELS").
qv_snapshot() {
  QV_PASSWORD=$QV_PASSWORD timeout 40 python3 "$QV_E2E_DIR/ircv3_client.py" room "$1" "w$2" "$2" "$3" "$4" >"$work/$2.server" ||
    { echo "no view of the server at $2"; return 1; }
}

# qv_same_room TAG BOT IDENT [FIELDS]: the view $work/BOT.out printed at
# TAG is the server's of the user with IDENT: its nick, its channels,
# their members and topics (the fields FIELDS, for cut, of each line; all
# by default). Prints the difference when there is one.
qv_same_room() {
  local tag=$1 bot=$2 ident=$3 fields=${4:-1-} chans
  qv_wait_for "$work/$bot.out" "room $tag end" 300 || { echo "$bot printed no view at $tag"; return 1; }
  chans=$(awk -F'\t' -v id="$ident" '$1 == "me" && $2 == id { print $4 }' "$work/$tag.server")
  awk -F'\t' -v id="$ident" -v chans=" $chans " '($1 == "me" && $2 == id) ||
      (($1 == "member" || $1 == "topic") && index(chans, " " $2 " "))' "$work/$tag.server" |
    cut -f"$fields" | sort >"$work/$tag.$bot.want"
  sed -n "s/^room $tag //p" "$work/$bot.out" | grep -v '^end$' | cut -f"$fields" | sort >"$work/$tag.$bot.got"
  diff "$work/$tag.$bot.want" "$work/$tag.$bot.got" >"$work/$tag.$bot.diff" && return 0
  echo "the view of $bot at $tag is not the server's (< server, > $bot):"
  cat "$work/$tag.$bot.diff"
  return 1
}

# qv_ii_do DIR LINE: an ii client sends LINE (a command, or raw after "/").
qv_ii_do() { echo "$2" >"$1/127.0.0.1/in"; }
# qv_ii_say DIR CHANNEL TEXT
qv_ii_say() { echo "$3" >"$1/127.0.0.1/$2/in"; }
# qv_ii_sync DIR TOKEN: returns once the server has answered all the ii
# client sent before (a WHOIS of TOKEN, a nick nobody holds).
qv_ii_sync() {
  qv_ii_do "$1" "/WHOIS $2"
  qv_wait_for "$1/127.0.0.1/out" "$2" 200 || { echo "$1 heard nothing back for $2"; return 1; }
}

# qv_storm SIGN COUNT STATUSES MEMBER...: a MODE's modes and parameters,
# COUNT changes: each status (of the space-separated STATUSES) for each
# member in turn, taking turns with bans, each with its parameter.
qv_storm() {
  local sign=$1 count=$2 statuses=($3) letters="" params="" i k
  shift 3
  local members=("$@")
  for i in $(seq 0 $((count - 1))); do
    k=$((i / 2))
    if [ $((i % 2)) = 1 ]; then
      letters+=b params+=" *!*@storm$i.example"
    else
      letters+=${statuses[$((k % ${#statuses[@]}))]}
      params+=" ${members[$((k / ${#statuses[@]} % ${#members[@]}))]}"
    fi
  done
  echo "$sign$letters$params"
}

# qv_start_hybrid: ircd-hybrid from its Debian package unpacked in $work,
# on a free loopback port; sets QV_PORT. Returns 77 when it cannot be had
# and 1 when it does not start, with QV_WHY saying why.
# ircd-hybrid loads its modules from the folder it was built for, which
# its binary names; a copy of the binary names shorter links in the
# workspace instead (NUL-padded: the strings keep their places).
qv_start_hybrid() {
  local deb tree=$work/hybrid attempt
  deb=$(ls /var/cache/apt/archives/ircd-hybrid_*.deb 2>/dev/null | tail -n 1)
  if [ -z "$deb" ]; then
    (cd "$work" && apt-get download ircd-hybrid) >"$work/apt.out" 2>&1 ||
      { QV_WHY="ircd-hybrid's package is not to be had: $(tail -n 1 "$work/apt.out")"; return 77; }
    deb=$(ls "$work"/ircd-hybrid_*.deb)
  fi
  dpkg -x "$deb" "$tree" || { QV_WHY="could not unpack $deb"; return 77; }
  ln -s "$tree/usr/lib/ircd-hybrid/modules" "$work/m"
  ln -s "$tree/usr/lib/ircd-hybrid/modules/autoload" "$work/a"
  python3 - "$tree/usr/sbin/ircd-hybrid" "$tree/ircd" "$work" >"$work/patch.out" 2>&1 <<'PY' || { QV_WHY=$(cat "$work/patch.out"); return 77; }
import sys
binary, out, work = sys.argv[1:]
data = open(binary, "rb").read()
for old, new in (("/usr/lib/ircd-hybrid/modules/", work + "/m/"), ("/usr/lib/ircd-hybrid/modules//autoload/", work + "/a/")):
    old, new = old.encode() + b"\0", new.encode()
    if data.count(old) != 1:
        sys.exit(f"ircd-hybrid's binary does not name {old[:-1].decode()} once")
    if len(new) >= len(old):
        sys.exit(f"the workspace's path is too long to stand for {old[:-1].decode()} in ircd-hybrid: {work}")
    data = data.replace(old, new.ljust(len(old), b"\0"))
open(out, "wb").write(data)
PY
  chmod 755 "$tree/ircd"
  qv_unprivileged "$tree"
  for attempt in $(seq 8); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 10000))
    qv_port_open "$port" && continue
    cat >"$tree/ircd.conf" <<CONF
serverinfo { name = "hybrid.quorvane.test"; sid = "0HY"; description = "quorvane test server"; network_name = "QuorvaneHybrid"; max_nick_length = 30; };
admin { name = "quorvane"; email = "quorvane@quorvane.test"; };
class { name = "users"; ping_time = 90 seconds; number_per_ip_local = 100; number_per_ip_global = 100; max_number = 100; sendq = 1 megabytes; recvq = 8000 bytes; };
listen { host = "127.0.0.1"; port = $port; };
auth { user = "*@127.0.0.1"; class = "users"; flags = exceed_limit, can_flood; };
general { disable_auth = yes; throttle_count = 0; throttle_time = 0; anti_nick_flood = no; invisible_on_connect = no; ping_cookie = no; };
modules { path = "$work/m"; };
CONF
    "${QV_AS_USER[@]}" "$tree/ircd" -foreground -configfile "$tree/ircd.conf" -pidfile "$tree/ircd.pid" -logfile "$tree/ircd.log" \
      -klinefile "$tree/k.db" -dlinefile "$tree/d.db" -xlinefile "$tree/x.db" -resvfile "$tree/r.db" >"$work/hybrid.out" 2>&1 &
    QV_PIDS+=("$!")
    qv_listening "$!" "$port" && { QV_PORT=$port; return 0; }
  done
  QV_WHY="ircd-hybrid did not start"
  return 1
}

# qv_register_account PORT ACCOUNT PASSWORD [FINGERPRINT]: registers
# ACCOUNT with NickServ from a raw client, as any user would, on our
# inspircd at PORT; with FINGERPRINT, adds it to the account (CERT ADD).
qv_register_account() {
  timeout 90 python3 - "$@" <<'PY'
import socket, sys, time
port, nick, pw = int(sys.argv[1]), sys.argv[2], sys.argv[3]
fp = sys.argv[4] if len(sys.argv) > 4 else None
s = socket.create_connection(("127.0.0.1", port), timeout=60)
f = s.makefile("rb")
s.sendall(f"NICK {nick}\r\nUSER {nick} 0 * :register\r\n".encode())
for raw in f:
    line = raw.decode(errors="replace").rstrip("\r\n")
    if line.startswith("PING"):
        s.sendall(("PONG" + line[4:] + "\r\n").encode())
    if " 376 " in line or " 422 " in line:
        s.sendall(f"PRIVMSG NickServ :REGISTER {pw} {nick}@quorvane.test\r\n".encode())
    if line.startswith(":NickServ!") and " is now registered to " in line:
        print("registered")
        if fp is None:
            s.sendall(b"QUIT :done\r\n")
            sys.exit(0)
        s.sendall(f"PRIVMSG NickServ :CERT ADD {fp}\r\n".encode())
    if fp and line.startswith(":NickServ!") and fp in line and "dded" in line:
        print("fingerprint added")
        s.sendall(b"QUIT :done\r\n")
        sys.exit(0)
sys.exit(1)
PY
}
