#!/usr/bin/perl
# A loopback IRC server whose SASL SCRAM-SHA-256 is Perl's Authen::SCRAM,
# which prepares passwords with SASLprep, as RFC 5802 asks of both sides.
# It knows one account, registered with PASSWORD (UTF-8); prints "PORT n",
# then for each client "LOGIN OK nick", "LOGIN REFUSED nick: why" and
# "JOIN nick #channel". Clients one after another; it ends by itself after
# 90 s.
#   scram_server.pl ACCOUNT PASSWORD
use strict;
use warnings;
use Authen::SCRAM::Client;
use Authen::SCRAM::Server;
use Encode qw(decode_utf8);
use IO::Select;
use IO::Socket::INET;
use MIME::Base64;

my ($account, $password) = @ARGV;
$password = decode_utf8($password);
my $salt = "quorvane-salt-16";
my $iterations = 4096;
# What services store: the keys of the password as SASLprep makes it.
my ($stored_key, undef, $server_key) =
  Authen::SCRAM::Client->new(username => $account, password => $password, digest => 'SHA-256')
  ->computed_keys($salt, $iterations);

$| = 1;
my $listener = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 0, Listen => 5, ReuseAddr => 1)
  or die "listen: $!";
print "PORT ", $listener->sockport, "\n";
my $end = time + 90;
$SIG{ALRM} = sub { exit 0 };
alarm 90;

while (time < $end) {
    my $c = $listener->accept or next;
    serve($c);
    close $c;
}

sub serve {
    my ($c) = @_;
    my ($nick, $buffer, $scram, $step) = ('*', '', undef, '');
    my $say = sub { print {$c} "$_[0]\r\n" };
    my $select = IO::Select->new($c);
    while ($select->can_read(30)) {
        my $n = sysread($c, my $chunk, 4096);
        return if !$n;
        $buffer .= $chunk;
        while ($buffer =~ s/^([^\n]*)\n//) {
            (my $line = $1) =~ s/\r$//;
            my ($command, @args) = split / /, $line;
            $command //= '';
            if ($command eq 'NICK') {
                $nick = $args[0];
            } elsif ($line eq 'CAP LS 302') {
                $say->(":srv CAP * LS :sasl=SCRAM-SHA-256");
            } elsif ($line eq 'CAP REQ :sasl') {
                $say->(":srv CAP $nick ACK :sasl");
            } elsif ($line eq 'AUTHENTICATE SCRAM-SHA-256') {
                $scram = Authen::SCRAM::Server->new(digest => 'SHA-256', credential_cb => sub {
                    return $_[0] eq $account ? ($salt, $stored_key, $server_key, $iterations) : ();
                });
                $step = 'first';
                $say->("AUTHENTICATE +");
            } elsif ($command eq 'AUTHENTICATE' && $step eq 'done') {
                $say->(":srv 900 $nick $nick!u\@h $account :You are now logged in as $account");
                $say->(":srv 903 $nick :SASL authentication successful");
                print "LOGIN OK $nick\n";
                $step = '';
            } elsif ($command eq 'AUTHENTICATE' && $step) {
                my $message = decode_base64($args[0]);
                my $reply = eval { $step eq 'first' ? $scram->first_msg($message) : $scram->final_msg($message) };
                if (!defined $reply) {
                    (my $why = $@) =~ s/ at .*//s;
                    $say->(":srv 904 $nick :SASL authentication failed");
                    print "LOGIN REFUSED $nick: $why\n";
                    $step = '';
                    next;
                }
                $say->("AUTHENTICATE " . encode_base64($reply, ''));
                $step = $step eq 'first' ? 'final' : 'done';
            } elsif ($line eq 'CAP END') {
                $say->(":srv 001 $nick :Welcome");
                $say->(":srv 376 $nick :End of MOTD");
            } elsif ($command eq 'JOIN') {
                $say->(":$nick!u\@h JOIN $args[0]");
                print "JOIN $nick $args[0]\n";
            } elsif ($command eq 'PING') {
                $say->("PONG :$args[0]");
            } elsif ($command eq 'QUIT') {
                return;
            }
        }
    }
}
