# Real work for the allocator comparison in Perl: hashes, sorting, regular
# expressions, string building and splitting. Prints digests only, in a fixed
# order (hash keys are always sorted first).
#
#   perl workload.pl [--quick]
use strict;
use warnings;
use Digest::MD5 qw(md5_hex);

my $scale = (grep { $_ eq '--quick' } @ARGV) ? 1 : 10;
my $seed = 12345;
sub next_random { $seed = ($seed * 1103515245 + 12345) % 2147483648; return $seed >> 8; }

my %words;
my @lines;
for my $i (1 .. 20000 * $scale) {
    my $word = join '', map { chr(97 + next_random() % 26) } 1 .. (3 + next_random() % 8);
    $words{$word}++;
    push @lines, sprintf("%06d %s %s=%d", $i, $word, uc $word, next_random() % 1000);
}
my @sorted = sort { $words{$b} <=> $words{$a} || $a cmp $b } keys %words;
print "words ", scalar(@sorted), " ", md5_hex(join ',', @sorted[0 .. 99]), "\n";

my $text = join "\n", @lines;
my @pairs = ($text =~ /([A-Z]+)=(\d+)/g);
(my $swapped = $text) =~ s/(\d{6}) (\w+)/$2:$1/g;
print "regex ", scalar(@pairs), " ", md5_hex($swapped), "\n";

my %buckets;
push @{ $buckets{ length $_ } }, $_ for keys %words;
my $summary = join ';', map { "$_:" . scalar(@{ $buckets{$_} }) } sort { $a <=> $b } keys %buckets;
print "buckets $summary\n";

my @numbers = map { next_random() % 1000000 } 1 .. 100000 * $scale;
my @ordered = sort { $a <=> $b } @numbers;
print "numbers ", md5_hex(join ',', @ordered[map { $_ * 1000 } 0 .. 99]), "\n";
