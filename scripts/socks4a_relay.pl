#!/usr/bin/perl
# A small SOCKS 4 and 4A relay for the tests (dante refuses 4A names):
#   socks4a_relay.pl ADDRESS PORT [NAME=ADDRESS...]
# Resolves the destination name itself (names given on the command line
# first, so tests can use a name nobody else resolves), grants, then relays
# both ways.
use strict;
use warnings;
use IO::Socket::INET;
use IO::Socket::Socks qw(:constants);
use IO::Select;

my ($addr, $port, @names) = @ARGV;
my %hosts = map { split /=/, $_, 2 } @names;
$SIG{CHLD} = 'IGNORE';
my $server = IO::Socket::Socks->new(
  SocksVersion => 4, ProxyAddr => $addr, ProxyPort => $port,
  Listen => 10, ReuseAddr => 1, SocksResolve => 1
) or die "socks4a_relay: $IO::Socket::Socks::SOCKS_ERROR\n";

while (1) {
  my $client = $server->accept() or next;
  my $pid = fork();
  if (!defined $pid || $pid != 0) { close $client; next; }
  close $server;
  my $cmd = $client->command() or exit 0;
  my ($command, $host, $dport) = @$cmd;
  $host = $hosts{lc $host} if exists $hosts{lc $host};
  my $remote = $command == CMD_CONNECT
    ? IO::Socket::INET->new(PeerAddr => $host, PeerPort => $dport, Timeout => 10) : undef;
  unless ($remote) {
    $client->command_reply(REQUEST_FAILED, '0.0.0.0', 0);
    exit 0;
  }
  $client->command_reply(REQUEST_GRANTED, $remote->sockhost, $remote->sockport);
  my $sel = IO::Select->new($client, $remote);
  RELAY: while (1) {
    for my $from ($sel->can_read) {
      my $to = $from == $client ? $remote : $client;
      my $n = sysread($from, my $buf, 65536);
      last RELAY unless $n;
      my $off = 0;
      while ($off < $n) {
        my $w = syswrite($to, $buf, $n - $off, $off);
        last RELAY unless defined $w;
        $off += $w;
      }
    }
  }
  exit 0;
}
