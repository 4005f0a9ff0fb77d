#!/usr/bin/perl
# Prints the live records of a table as read by Perl's XBase, one line per
# record: field values joined by a tab, character values without trailing
# blanks, memo values with their line breaks escaped.
use strict;
use warnings;
use XBase;

my $table = XBase->new(name => $ARGV[0]) or die XBase->errstr;
my @names = grep { $_ ne '_NULLFLAGS' } $table->field_names;
for my $i (0 .. $table->last_record) {
    my @values = $table->get_record($i, @names);
    next if $values[0];    # deleted
    shift @values;
    print join("\t", map {
        my $v = defined $_ ? $_ : '';
        $v =~ s/[ \0]+$//;
        $v =~ s/\\/\\\\/g; $v =~ s/\n/\\n/g; $v =~ s/\r/\\r/g; $v =~ s/\t/\\t/g;
        $v
    } @values), "\n";
}
