#!/usr/bin/perl
# Prints the tags of a compound index as Perl's XBase::Index reads them, for
# comparison with the library's own reader.
#
#   cdx_dump.pl FILE.cdx
#
# Output, one line each:
#   TAG <name> <key length> <options> <signature> <key expression> | <for expression>
#   KEY <hex key without trailing pad bytes> <recno>
#   END <name> <entry count>
#   FAIL <name> <reason>        when XBase::Index cannot read the tag
# Keys are read as character data so that they come back as raw bytes. The
# file is opened as a compound index whatever its extension (.cdx, .dcx).
use strict;
use warnings;
use XBase::Index;

my $file = shift or die "usage: $0 FILE.cdx\n";
my $dir = XBase::cdx->new($file, type => 'C')
  or die "cannot open $file: " . XBase::Index->errstr;
my @tags = $dir->tags;

for my $tag (@tags) {
  my $idx = XBase::cdx->new($file, tag => $tag, type => 'C');
  if (!$idx) {
    print "FAIL $tag ", (XBase::Index->errstr // 'unknown error') =~ s/\s+/ /gr, "\n";
    next;
  }
  my $key_expr = $idx->{key_string} // '';
  my $for_expr = $idx->{for_string} // '';
  printf "TAG %s %d %d %d %s | %s\n", $tag, $idx->{key_length},
    $idx->{index_options}, $idx->{index_signature}, $key_expr, $for_expr;
  $idx->prepare_select;
  my $count = 0;
  while (my ($key, $recno) = $idx->fetch) {
    printf "KEY %s %d\n", (length $key ? unpack('H*', $key) : '-'), $recno;
    ++$count;
  }
  print "END $tag $count\n";
}
