# Deliberate failures and errors next to passing tests.  Not a .test file,
# so that collecting this directory stays green; the plugin's tests copy it
# under a .test name.

package require tcltest 2
namespace import ::tcltest::*

test out-1.1 {passes} {expr {1 + 1}} 2
test out-1.2 {a wrong result} {expr {2 + 2}} 5
test out-1.3 {an error where a result was expected} -body {
    error "it broke" {} {OUT BROKE}
} -result fine
test out-1.4 {a wrong error code} -body {
    error nope {} {OUT ONE}
} -returnCodes error -errorCode {OUT TWO} -result nope
test out-1.5 {wrong output} -body {puts hi} -output "bye\n"
test out-1.7 {skipped} -constraints {knownBug} -body {error never}
test out-1.1 {the same name again} {expr 3} 3
test out-1.1 {and a third time, failing} {expr 3} 4
test "out 2.1" {a name with a space} {} {}

# Last, as tclsh stops the file at this error, where the plugin fails only
# this test.
test out-1.6 {an unknown option} -body {} -colour red

cleanupTests
