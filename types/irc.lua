---@meta
-- The `irc` table and its events, for lua-language-server: completion and
-- checks in an editor. Nothing here runs; the module makes the real table.

---@class irc
irc = {}

--- Starts connecting and registering, and returns at once. How it went
--- comes later: the server's welcome, or `IRC_Disconnected("Connect failed: ...")`.
---@param server string a name, an IPv4 address, or an IPv6 address ("::1" or "[::1]")
---@param port integer 1 to 65535
---@param nick string
---@param user string
---@param realname string
---@param tls? boolean|"insecure"|string true: TLS, the certificate checked; a SHA-256 fingerprint as openssl prints it ("3A:7F:...:C2", colons optional, any case): TLS with that certificate only; "insecure": TLS without the check
---@return string? error "Connect failed: Port out of range", "Connect failed: the TLS argument must be ..." for any other `tls` text, or "Invalid Socket!" while a link is up or coming up
function irc.Connect(server, port, nick, user, realname, tls) end

--- Sends what waits, then `QUIT :Leaving`, and closes the link.
function irc.Close() end

--- Sends the line as it is, line breaks included.
---@param line string
---@return string? refused "Send queue full"
function irc.SendRaw(line) end

--- Turns the echo of every received line on the console on or off (on at first).
---@param flag boolean
function irc.Debug(flag) end

--- `PRIVMSG target :text`: one message per line of text, long ones in pieces.
---@param target string a channel or a nick
---@param text string
---@return string? refused "Send queue full"
function irc.SendMessage(target, text) end

---@param channel string one, or several separated by commas
---@return string? refused "Send queue full"
function irc.Join(channel) end

---@param channel string
---@return string? refused "Send queue full"
function irc.Part(channel) end

--- `NICKSERV text`.
---@param text string
---@return string? refused "Send queue full"
function irc.NickServ(text) end

---@return string version "Ver 1.2 BUILD 200"
function irc.GetVersion() end

--- For links connected from then on: silence after which the link is dropped.
---@param seconds integer 240 at first; 0: never
function irc.SetPingTimeout(seconds) end

--- The `PASS` text of the next `Connect`; "" for no PASS; nil (or false) for the fixed one, which is left out once if the server refuses it.
---@param text? string
function irc.SetPassword(text) end

--- A SASL login to `account` for the next `Connect`; no account turns it off.
---@param account? string
---@param password? string the script's bytes as they are; ignored for EXTERNAL
---@param mechanism? "PLAIN"|"SCRAM-SHA-256"|"EXTERNAL" PLAIN at first; SCRAM-SHA-256 never sends the password; EXTERNAL needs irc.SetClientCert and TLS
---@return string? error "SASL: unknown mechanism <name>" (nothing changed)
function irc.SetSASL(account, password, mechanism) end

--- Text is UTF-8 both ways from the next line on (off: 7-bit, '?' for the rest).
---@param flag boolean
function irc.SetUTF8(flag) end

--- The certificate TLS links present from then on (CertFP, SASL EXTERNAL);
--- read and checked now. No path, or an empty one, removes it.
---@param path? string PKCS#12 (.p12, .pfx); on Linux also PEM with the certificate and its key
---@param password? string the PKCS#12 password
---@return string? error "Client certificate: <why>" (the one before is kept)
function irc.SetClientCert(path, password) end

--- The file STS policies are kept in across restarts: read now (its
--- policies join those known), written again whenever one is learnt,
--- refreshed or removed. No path, or an empty one, keeps them for the
--- process only.
---@param path? string
---@return string? error "STS file: <why>" (nothing changed)
function irc.SetStsFile(path) end

--- Our nick as the server last gave it (the welcome, our NICK, a bouncer's
--- rename); nil while no link is registered.
---@return string? nick
function irc.GetNick() end

--- The channels we are in, in the order we joined them: "#a #b" ("" for none).
---@return string? channels nil while no link is registered
function irc.GetChannels() end

--- The channel's members, each with all its status signs, highest first:
--- "@+alice bob +carol", sorted as the server folds the nicks.
---@param channel string
---@return string? members nil when we are not in the channel
function irc.GetUsers(channel) end

--- Someone who shares a channel with us (or ourselves); nil where unknown.
---@param nick string
---@return string? nick as the server spells it; nil for someone we share no channel with
---@return string? user
---@return string? host
---@return string? account nil when logged in to none, as far as the server said
---@return string? realname
---@return string? away the away text ("" when away without a known text); nil while here
function irc.GetUser(nick) end

--- A member's status signs ("@+", or "" for none).
---@param channel string
---@param nick string
---@return string? signs nil when not a member, or not our channel
function irc.GetStatus(channel, nick) end

--- A channel's topic, who set it, and when (Unix seconds, as text).
---@param channel string
---@return string? topic nil when none, or not our channel
---@return string? by
---@return string? time
function irc.GetTopic(channel) end

--- A token of the server's 005 (ISUPPORT): its value ("" for a token
--- without one); nil when the server did not send it.
---@param name string "NETWORK", "CASEMAPPING", "PREFIX", ...
---@return string? value
function irc.ISupport(name) end

--- `text` folded by the server's CASEMAPPING: two nicks are the same
--- nick when their FoldCase are equal.
---@param text string
---@return string folded
function irc.FoldCase(text) end

---@alias IrcEvent
---| "IRC_RawData"      # (line, tags): every line the server sends, without its message tags; their text (no '@'), or nil
---| "IRC_OnChat"       # (nick, target, text, account, time): a channel or private message; account and time from its tags while account-tag and server-time are enabled, or nil
---| "IRC_OnNotice"     # (nick, target, text, account, time)
---| "IRC_OnNickServ"   # (prefix, target, text): a notice from NickServ, before its IRC_OnNotice
---| "IRC_EndOfMOTD"    # (): numeric 376, registration has ended
---| "IRC_ErroneusNick" # (): numeric 432
---| "IRC_NickInUse"    # (): numeric 433
---| "IRC_Disconnected" # (reason): a link or an attempt ended other than by irc.Close
---| "IRC_OnRegistered" # (nick): once a link, at the end of the welcome (376 or 422)
---| "IRC_OnJoin"       # (nick, channel, account): someone joined, or we did
---| "IRC_OnPart"       # (nick, channel, reason): someone left, or we did
---| "IRC_OnKick"       # (channel, nick, by, reason)
---| "IRC_OnQuit"       # (nick, reason, channels): the channels we shared, space-separated, before the quit
---| "IRC_OnNick"       # (old, new): a nick changed, ours too
---| "IRC_OnMode"       # (target, by, modes): the mode string and its parameters as sent
---| "IRC_OnTopic"      # (channel, topic, by): a topic changed (by nil: the topic shown as we join)
---| "IRC_OnInvite"     # (by, channel): we are invited
---| "IRC_OnAccount"    # (nick, account): someone logged in (account nil: logged out)

-- The host's own hook.Add, with the arguments each event brings.
---@class hook
hook = hook or {}

---@overload fun(event: "IRC_RawData", id: any, handler: fun(line: string, tags: string?))
---@overload fun(event: "IRC_OnChat", id: any, handler: fun(nick: string, target: string, text: string, account: string?, time: string?))
---@overload fun(event: "IRC_OnNotice", id: any, handler: fun(nick: string, target: string, text: string, account: string?, time: string?))
---@overload fun(event: "IRC_OnNickServ", id: any, handler: fun(prefix: string, target: string, text: string))
---@overload fun(event: "IRC_EndOfMOTD"|"IRC_ErroneusNick"|"IRC_NickInUse", id: any, handler: fun())
---@overload fun(event: "IRC_Disconnected", id: any, handler: fun(reason: string))
---@overload fun(event: "IRC_OnRegistered", id: any, handler: fun(nick: string))
---@overload fun(event: "IRC_OnJoin", id: any, handler: fun(nick: string, channel: string, account: string?))
---@overload fun(event: "IRC_OnPart", id: any, handler: fun(nick: string, channel: string, reason: string?))
---@overload fun(event: "IRC_OnKick", id: any, handler: fun(channel: string, nick: string, by: string, reason: string?))
---@overload fun(event: "IRC_OnQuit", id: any, handler: fun(nick: string, reason: string?, channels: string))
---@overload fun(event: "IRC_OnNick", id: any, handler: fun(old: string, new: string))
---@overload fun(event: "IRC_OnMode", id: any, handler: fun(target: string, by: string, modes: string))
---@overload fun(event: "IRC_OnTopic", id: any, handler: fun(channel: string, topic: string, by: string?))
---@overload fun(event: "IRC_OnInvite", id: any, handler: fun(by: string, channel: string))
---@overload fun(event: "IRC_OnAccount", id: any, handler: fun(nick: string, account: string?))
---@param event IrcEvent|string
---@param id any
---@param handler function
function hook.Add(event, id, handler) end
