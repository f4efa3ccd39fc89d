#!/bin/bash
# IRCv3 against real peers on loopback: inspircd with its IRCv3 modules
# (server-time, account-tag, cap-notify, message-tags, STS on a TLS port)
# linked to atheme, a weechat-headless user logged in to an account by
# SASL, and znc in front of inspircd.
# Usage: ircv3_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
# Files of the run are private (a password is in weechat's and znc's).
umask 077
client() { timeout 40 python3 "$here/ircv3_client.py" "$@"; }
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out "$work"/inspircd.log "$work"/atheme.log "$work"/weechat/logs/*.weechatlog; do
    echo "---- $f"; cat "$f"
  done
  exit 1
}
for tool in inspircd atheme-services weechat-headless znc; do
  command -v "$tool" >/dev/null || fail "$tool missing (scripts/ensure-packages)"
done

ACCOUNT=alice
PASSWORD="Alice-$RANDOM-pw"
LINKPW="link-$RANDOM"
OPERPW="oper-$RANDOM"
ZNCPW="znc-$RANDOM"
CHANNEL="#v3"
# The name clients use: inspircd advertises the policy's duration only to a
# TLS client whose SNI matches <sts host>, and no SNI goes with an address.
NAME=localhost

# A CA of the run's own and the server's certificate from it, for $NAME
# and 127.0.0.1 (EC keys: quick to make).
mkdir -p "$work/certs"
(
  cd "$work/certs" &&
  req() { openssl req -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -sha256 "$@" 2>/dev/null; } &&
  req -x509 -days 2 -subj "/CN=quorvane ircv3 test CA" -keyout ca.key -out ca.pem \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" &&
  req -keyout server.key -out server.csr -subj "/CN=$NAME" &&
  printf 'subjectAltName=DNS:%s,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' "$NAME" >server.ext &&
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
    -extfile server.ext -out server.pem 2>/dev/null
) || fail "no certificates"
export SSL_CERT_FILE=$work/certs/ca.pem

# $port: clients (plain); $link: services; $tls: clients (TLS); $zport: znc.
write_configs() {
cat >"$work/inspircd.conf" <<CONF
<server name="irc.quorvane.test" description="quorvane test server" id="0QV" network="QuorvaneTest">
<admin name="quorvane" nick="quorvane" email="quorvane@quorvane.test">
<bind address="127.0.0.1" port="$port" type="clients">
<bind address="127.0.0.1" port="$link" type="servers">
<bind address="127.0.0.1" port="$tls" type="clients" sslprofile="Clients">
<module name="ssl_gnutls">
<sslprofile name="Clients" provider="gnutls" certfile="$work/certs/server.pem" keyfile="$work/certs/server.key" dhfile="" hash="sha256">
<connect name="main" allow="127.0.0.1" maxchans="20" timeout="20" pingfreq="120" hardsendq="1M" softsendq="8192" recvq="8192" threshold="100" commandrate="10000" fakelag="off" localmax="100" globalmax="100" useident="no" resolvehostnames="no" limit="500">
<pid file="$work/inspircd.pid">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" flush="1" target="$work/inspircd.log">
<log method="file" type="USERINPUT USEROUTPUT" level="rawio" flush="1" target="$work/rawio.log">
<options allowhalfop="no" fixedquit="">
<performance somaxconn="128" softlimit="1024" clonesonconnect="no">
<dns server="127.0.0.1" timeout="1">
<files motd="/etc/inspircd/inspircd.motd">
<module name="cap">
<module name="ircv3">
<module name="ircv3_capnotify">
<module name="ircv3_servertime">
<module name="ircv3_accounttag">
<module name="ircv3_ctctags">
<module name="ircv3_sts">
<sts host="$NAME" port="$tls" duration="600">
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
<class name="Kill" commands="KILL">
<type name="Tester" classes="Kill">
<oper name="qvoper" password="$OPERPW" host="*@127.0.0.1" type="Tester">
CONF

mkdir -p "$work/atheme"
cat >"$work/atheme.conf" <<CONF
loadmodule "modules/protocol/inspircd";
loadmodule "modules/backend/opensex";
loadmodule "modules/crypto/pbkdf2v2";
loadmodule "modules/nickserv/main";
loadmodule "modules/nickserv/identify";
loadmodule "modules/nickserv/register";
loadmodule "modules/saslserv/main";
loadmodule "modules/saslserv/plain";
serverinfo {
	name = "services.quorvane.test"; desc = "quorvane test services"; numeric = "00A";
	recontime = 1; netname = "QuorvaneTest"; hidehostsuffix = "users.quorvane.test";
	adminname = "quorvane"; adminemail = "quorvane@quorvane.test"; registeremail = "noreply@quorvane.test";
	mta = "/bin/false"; loglevel = { error; info; admin; network; };
	maxlogins = 5; maxusers = 5; mdlimit = 30; emaillimit = 10; emailtime = 300;
	auth = none; casemapping = rfc1459;
};
uplink "irc.quorvane.test" { host = "127.0.0.1"; password = "$LINKPW"; port = $link; };
nickserv { nick = "NickServ"; user = "NickServ"; host = "services.quorvane.test"; real = "Nickname Services"; maxnicks = 5; expire = 30; };
saslserv { nick = "SaslServ"; user = "SaslServ"; host = "services.quorvane.test"; real = "SASL Authentication Agent"; };
general {
	commit_interval = 5; flood_msgs = 0; flood_time = 10; ratelimit_uses = 0; ratelimit_period = 60;
	kline_time = 7; clone_time = 0; default_clone_allowed = 50; default_clone_warn = 40;
	uplink_sendq_limit = 1048576; language = "en"; immune_level = immune;
};
CONF
}

# inspircd with TLS may crash as it is stopped; no core file is left about.
ulimit -c 0
asroot=()
[ "$(id -u)" -eq 0 ] && asroot=(--runasroot)
# Ports from below the range the kernel hands out to outgoing connections
# (see sasl_e2e.sh); another set is tried when inspircd cannot bind one.
low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
span=$((low > 21000 ? low - 20004 : 40000))
for attempt in $(seq 8); do
  port=$((20000 + (RANDOM * 32768 + RANDOM) % span)) link=$((port + 1)) tls=$((port + 2)) zport=$((port + 3))
  { qv_port_open "$port" || qv_port_open "$link" || qv_port_open "$tls" || qv_port_open "$zport"; } && continue
  write_configs
  inspircd --config="$work/inspircd.conf" --nofork "${asroot[@]}" >"$work/inspircd.out" 2>&1 &
  ircd=$!
  QV_PIDS+=("$ircd")
  qv_wait_for "$work/inspircd.out" "InspIRCd is now running" 600 || fail "inspircd did not start"
  grep -q "failed to bind" "$work/inspircd.out" || break
  kill -KILL "$ircd"
  wait "$ircd" 2>/dev/null || true  # killed for a port in use: try again
  [ "$attempt" = 8 ] && fail "inspircd found no free ports"
done
# znc, attached to inspircd's plain port and in the channel; it takes a few
# seconds to start, so it starts first. As root it waits 30 s before it
# starts, so as root it runs as nobody.
mkdir -p "$work/znc/configs"
salt=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
cat >"$work/znc/configs/znc.conf" <<CONF
Version = 1.8.2
<Listener l>
	Host = 127.0.0.1
	Port = $zport
	IPv4 = true
	IPv6 = false
	SSL = false
	AllowIRC = true
	AllowWeb = false
</Listener>
<User qv>
	<Pass password>
		Method = sha256
		Hash = $(printf '%s' "$ZNCPW$salt" | sha256sum | cut -d' ' -f1)
		Salt = $salt
	</Pass>
	Nick = zqv
	AltNick = zqv_
	Ident = zqv
	RealName = quorvane behind znc
	AutoClearChanBuffer = true
	ChanBufferSize = 50
	<Network test>
		Server = 127.0.0.1 $port
		<Chan $CHANNEL>
		</Chan>
	</Network>
</User>
CONF
asuser=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 711 "$work"
  chown -R nobody "$work/znc"
  asuser=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
fi
"${asuser[@]}" znc --datadir "$work/znc" --foreground >"$work/znc.out" 2>&1 &
QV_PIDS+=("$!")

atheme-services -n -c "$work/atheme.conf" -D "$work/atheme" -l "$work/atheme.log" -p "$work/atheme.pid" >"$work/atheme.out" 2>&1 &
QV_PIDS+=("$!")
qv_wait_for "$work/atheme.log" "finished synching with uplink" 600 || fail "atheme did not link"

# What inspircd offers: the TLS port to a plain client, the policy's
# duration to a TLS client that named the server; sasl once atheme is there.
client caps "$port" >"$work/caps-plain.out" || fail "no CAP LS on the plain port"
client caps "$tls" "$NAME" >"$work/caps-tls.out" || fail "no CAP LS over TLS (certificate, or SNI $NAME)"
for cap in server-time account-tag cap-notify message-tags sasl=PLAIN "sts=port=$tls"; do
  grep -qE "[: ]$cap( |\$)" "$work/caps-plain.out" || fail "inspircd does not offer $cap on its plain port"
done
grep -qE "[: ]sts=duration=600( |\$)" "$work/caps-tls.out" || fail "inspircd gives no STS duration over TLS"

# Lines whose server-time the checks read, for every registered client.
ISO='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z'

client register "$port" "$ACCOUNT" "$PASSWORD" >"$work/register.out" 2>&1 || fail "could not register $ACCOUNT"

# weechat, logged in by SASL, in the channel; told what to say through its fifo.
weechat-headless -d "$work/weechat" -P irc,fifo,logger --stdout -r "\
/set logger.file.flush_delay 0;\
/set fifo.file.path $work/weechat/fifo;\
/set irc.server_default.sasl_fail disconnect;\
/server add v3 127.0.0.1/$port -notls -nicks=$ACCOUNT -username=$ACCOUNT -sasl_mechanism=plain \
-sasl_username=$ACCOUNT -sasl_password=$PASSWORD -autojoin=$CHANNEL;\
/connect v3" >"$work/weechat.out" 2>&1 &
QV_PIDS+=("$!")
weechat_says() {
  timeout 5 sh -c 'printf "irc.server.v3 */msg %s %s\n" "$1" "$2" >"$3"' - "$CHANNEL" "$1" "$work/weechat/fifo" ||
    fail "weechat took nothing from its fifo"
}
# The server's raw log of one client, by nick: its connection's lines.
client_log() {
  local id
  for id in $(grep -a "USERINPUT: C\[[^]]*\] I NICK $1\$" "$work/rawio.log" | sed 's/.*C\[\([^]]*\)\].*/\1/' | sort -u); do
    grep -a "C\[$id\]" "$work/rawio.log" | sed 's/^.*\(USERINPUT\|USEROUTPUT\): C\[[^]]*\] //'
  done
}
qv_wait_for "$work/weechat/logs/irc.v3.$CHANNEL.weechatlog" "has joined $CHANNEL" 100 || fail "weechat did not join"
grep -qF "SASL authentication successful" "$work/weechat/logs/irc.server.v3.weechatlog" || fail "weechat did not log in by SASL"
for _ in $(seq 100); do client_log zqv | grep -q "^I JOIN $CHANNEL" && break; sleep 0.1; done
client_log zqv | grep -q "^I JOIN $CHANNEL" || fail "znc did not join $CHANNEL"

# A client that asked for server-time and account-tag hears the weechat
# user's message with its account and the server's time.
client listen "$port" watcher "$CHANNEL" "server-time account-tag message-tags" 20 >"$work/watcher.out" 2>&1 &
QV_PIDS+=("$!")
qv_wait_for "$work/watcher.out" " 366 watcher $CHANNEL " 50 || fail "the watcher did not join"
weechat_says "hello from weechat"
said="@time=$ISO;account=$ACCOUNT :$ACCOUNT!$ACCOUNT@127.0.0.1 PRIVMSG $CHANNEL :hello from weechat\$"
for _ in $(seq 50); do grep -qE "^$said" "$work/watcher.out" && break; sleep 0.1; done
grep -qE "^$said" "$work/watcher.out" || fail "no message with the account and time"
time=$(grep -E "^$said" "$work/watcher.out" | sed 's/^@time=\([^;]*\);.*/\1/')

# znc kept it, with that time, for whoever attaches next.
client attach "$zport" "qv/test:$ZNCPW" zqv server-time 5 "hello from weechat" >"$work/attach.out" 2>&1
grep -qF "@time=$time :$ACCOUNT!$ACCOUNT@127.0.0.1 PRIVMSG $CHANNEL :hello from weechat" "$work/attach.out" ||
  fail "znc did not replay the message with its time"
echo "ircv3 e2e ok"
