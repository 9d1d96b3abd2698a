#!/usr/bin/perl
# TLS servers on OpenSSL (Net::SSLeay) for the TLS engine's tests: what
# Python's ssl module cannot do (a renegotiation the server asks for) and
# what Python's peer does not offer (a chain through an intermediate CA).
#
#   tls_engine_peer.pl start ADDRESS DIR   makes the certificates in DIR/certs
#                                          (scripts/tls-certs.sh, and an
#                                          intermediate CA), starts the
#                                          servers, returns once they listen
#   tls_engine_peer.pl stop DIR            stops them
#
# Ports on ADDRESS, TLS 1.2 at most (the last version that renegotiates):
#   4440  good.pem: "200 ready sni=NAME" (NAME the SNI received, "-" for
#         none), then the commands below
#   4441  chained.pem, issued by an intermediate CA (issued by ca.pem) and
#         sent with it: "200 chained"
#   4442  wrongname.pem: "200 wrongname"   4443  expired.pem: "200 expired"
#
# Commands:
#   UPLOAD N AT  reads N bytes, which must be byte i = (i * 7 + i / 251) mod
#                256; once AT of them have come it sends "RENEGOTIATING" and,
#                in the same TCP segment, a HelloRequest, and reads on (the
#                client's records carry on through the new handshake). Then
#                "250 N bytes intact, K handshakes" (K counts the client's
#                ClientHellos) or "550 byte I differs".
#   QUIT         "205 bye", close_notify, close
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Spec;
use IO::Socket::INET;
use Net::SSLeay qw(die_now);
use POSIX qw(setsid _exit);
use Socket qw(IPPROTO_TCP);

use constant BASE => 4440;
use constant TCP_CORK => 3;                 # Linux
use constant SSL_CB_ACCEPT_LOOP => 0x2001;

my $here = dirname(File::Spec->rel2abs(__FILE__));
my $certs_script = File::Spec->catfile($here, "..", "..", "scripts", "tls-certs.sh");

sub run {
  system(@_) == 0 or die "tls_engine_peer: @_ failed\n";
}

# openssl's progress dots and notes go to the log, not to CTest's output.
sub openssl {
  run("sh", "-c", 'exec openssl "$@" 2>>"$0"', "/dev/null", @_);
}

# An intermediate CA under the test CA, and a leaf under it; the leaf's
# file holds the intermediate too, so that the server sends both.
sub make_chain {
  my ($certs, $address) = @_;
  return if -s "$certs/chained.pem" && -s "$certs/chained.stamp"
    && -M "$certs/chained.stamp" <= -M "$certs/ca.pem";
  open(my $ext, ">", "$certs/chain.cnf") or die;
  print $ext <<"CNF";
[intermediate]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = IP:$address, DNS:localhost
CNF
  close($ext);
  for my $name ("intermediate", "chained-leaf") {
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Kestrun test $name",
        "-keyout", "$certs/$name.key", "-out", "$certs/$name.csr");
  }
  openssl("x509", "-req", "-in", "$certs/intermediate.csr", "-CA", "$certs/ca.pem", "-CAkey",
      "$certs/ca.key", "-set_serial", "4001", "-days", "3650", "-extfile", "$certs/chain.cnf",
      "-extensions", "intermediate", "-out", "$certs/intermediate.pem");
  openssl("x509", "-req", "-in", "$certs/chained-leaf.csr", "-CA", "$certs/intermediate.pem",
      "-CAkey", "$certs/intermediate.key", "-set_serial", "4002", "-days", "3650", "-extfile",
      "$certs/chain.cnf", "-extensions", "leaf", "-out", "$certs/chained-leaf.pem");
  run("sh", "-c", "cat '$certs/chained-leaf.pem' '$certs/intermediate.pem' > '$certs/chained.pem'");
  run("cp", "$certs/chained-leaf.key", "$certs/chained.key");
  open(my $stamp, ">", "$certs/chained.stamp") or die;
  close($stamp);
}

sub context {
  my ($certs, $cert) = @_;
  my $ctx = Net::SSLeay::CTX_new_with_method(Net::SSLeay::TLS_server_method()) or die_now("ctx");
  Net::SSLeay::CTX_set_max_proto_version($ctx, Net::SSLeay::TLS1_2_VERSION());
  Net::SSLeay::CTX_use_certificate_chain_file($ctx, "$certs/$cert.pem") or die_now("cert");
  Net::SSLeay::CTX_use_PrivateKey_file($ctx, "$certs/$cert.key", Net::SSLeay::FILETYPE_PEM())
    or die_now("key");
  return $ctx;
}

# The byte the upload must hold at offset $i.
sub pattern {
  my ($from, $length) = @_;
  return pack("C*", map { ($_ * 7 + int($_ / 251)) & 0xFF } $from .. $from + $length - 1);
}

sub serve {
  my ($conn, $ctx, $greeting) = @_;
  my $ssl = Net::SSLeay::new($ctx);
  my $handshakes = 0;
  Net::SSLeay::set_info_callback($ssl, sub {
    my ($s, $where) = @_;
    $handshakes++ if ($where & SSL_CB_ACCEPT_LOOP) == SSL_CB_ACCEPT_LOOP
      && Net::SSLeay::state_string_long($s) =~ /read client hello/;
  });
  Net::SSLeay::set_fd($ssl, fileno($conn));
  return if Net::SSLeay::accept($ssl) <= 0;
  my $sni = Net::SSLeay::get_servername($ssl);
  $greeting =~ s/NAME/defined $sni && $sni ne "" ? $sni : "-"/e;
  Net::SSLeay::write($ssl, "$greeting\r\n");
  my $buffer = "";
  my $more = sub {
    my $got = Net::SSLeay::read($ssl, 65536);
    return 0 unless defined $got && length $got;
    $buffer .= $got;
    return 1;
  };
  while (1) {
    while ($buffer !~ /\r\n/) { return unless $more->(); }
    $buffer =~ s/^(.*?)\r\n//;
    my $line = $1;
    if ($line =~ /^UPLOAD (\d+) (\d+)$/) {
      my ($n, $at) = ($1, $2);
      my ($got, $bad, $asked) = (0, -1, 0);
      while ($got < $n) {
        if (!length $buffer) { return unless $more->(); }
        my $take = length $buffer < $n - $got ? length $buffer : $n - $got;
        my $piece = substr($buffer, 0, $take, "");
        if ($bad < 0 && $piece ne pattern($got, $take)) {
          my $want = pattern($got, $take);
          my $i = 0;
          $i++ while substr($piece, $i, 1) eq substr($want, $i, 1);
          $bad = $got + $i;
        }
        $got += $take;
        if (!$asked && $got >= $at) {
          $asked = 1;
          # The line and the HelloRequest in one segment: the client meets
          # the renegotiation while it handles the line.
          setsockopt($conn, IPPROTO_TCP, TCP_CORK, 1);
          Net::SSLeay::write($ssl, "RENEGOTIATING\r\n");
          Net::SSLeay::renegotiate($ssl) or return;
          Net::SSLeay::do_handshake($ssl);
          setsockopt($conn, IPPROTO_TCP, TCP_CORK, 0);
        }
      }
      Net::SSLeay::write($ssl, $bad < 0 ? "250 $n bytes intact, $handshakes handshakes\r\n"
                                        : "550 byte $bad differs\r\n");
    } elsif ($line eq "QUIT") {
      Net::SSLeay::write($ssl, "205 bye\r\n");
      Net::SSLeay::shutdown($ssl);
      return;
    } else {
      Net::SSLeay::write($ssl, "500 what?\r\n");
    }
  }
}

sub listen_on {
  my ($address, $port, $ctx, $greeting) = @_;
  my $server = IO::Socket::INET->new(LocalAddr => $address, LocalPort => $port, Listen => 16,
                                     ReuseAddr => 1, Proto => "tcp")
    or die "tls_engine_peer: cannot listen on $address:$port: $!\n";
  my $pid = fork() // die;
  return if $pid;
  while (1) {
    my $conn = $server->accept() or next;
    my $child = fork() // die;
    if ($child == 0) {
      close($server);
      eval { serve($conn, $ctx, $greeting) };
      close($conn);
      _exit(0);
    }
    close($conn);
  }
}

sub start {
  my ($address, $folder) = @_;
  mkdir $folder;
  stop($folder);
  my $certs = "$folder/certs";
  run($certs_script, $certs, $address);
  make_chain($certs, $address);
  unlink "$folder/ready";
  my $pid = fork() // die;
  if ($pid == 0) {
    setsid();
    open(STDIN, "<", "/dev/null");
    open(STDOUT, ">", "$folder/peer.log");
    open(STDERR, ">&", \*STDOUT);
    $SIG{CHLD} = "IGNORE";
    Net::SSLeay::initialize();
    listen_on($address, BASE, context($certs, "good"), "200 ready sni=NAME");
    listen_on($address, BASE + 1, context($certs, "chained"), "200 chained");
    listen_on($address, BASE + 2, context($certs, "wrongname"), "200 wrongname");
    listen_on($address, BASE + 3, context($certs, "expired"), "200 expired");
    open(my $ready, ">", "$folder/ready") or die;
    print $ready "$$\n";
    close($ready);
    # Children of this session leader, stopped with it.
    sleep while 1;
  }
  for (1 .. 400) {
    last if -e "$folder/ready";
    die "tls_engine_peer: the servers did not start (see $folder/peer.log)\n"
      if waitpid($pid, POSIX::WNOHANG()) == $pid;
    select(undef, undef, undef, 0.05);
  }
  -e "$folder/ready" or die "tls_engine_peer: the servers did not start (see $folder/peer.log)\n";
  print "$folder\n";
}

sub stop {
  my ($folder) = @_;
  open(my $f, "<", "$folder/ready") or return;
  my $pid = <$f>;
  close($f);
  chomp $pid;
  kill("TERM", -$pid) if $pid =~ /^\d+$/;
  unlink "$folder/ready";
}

if (@ARGV == 3 && $ARGV[0] eq "start") {
  start($ARGV[1], $ARGV[2]);
} elsif (@ARGV == 2 && $ARGV[0] eq "stop") {
  stop($ARGV[1]);
} else {
  die "usage: tls_engine_peer.pl start ADDRESS DIR | stop DIR\n";
}
