# A proc-heavy workload for the coverage benchmark: a few thousand calls of
# procs with loops and branches.
namespace eval workload {
    proc classify {n} {
        if {$n % 15 == 0} {
            return fizzbuzz
        } elseif {$n % 5 == 0} {
            return buzz
        } elseif {$n % 3 == 0} {
            return fizz
        }
        return $n
    }

    proc sumsq {n} {
        set s 0
        for {set i 0} {$i < $n} {incr i} {
            if {$i & 1} {
                incr s [expr {$i * $i}]
            } else {
                incr s -1
            }
        }
        return $s
    }

    proc collatz {n} {
        set steps 0
        while {$n != 1} {
            if {$n % 2} {
                set n [expr {3 * $n + 1}]
            } else {
                set n [expr {$n / 2}]
            }
            incr steps
        }
        return $steps
    }

    proc words {text} {
        set counts [dict create]
        foreach w [split $text] {
            switch -- [string length $w] {
                0 { continue }
                1 - 2 { dict incr counts short }
                default { dict incr counts long }
            }
        }
        return $counts
    }

    proc run {calls} {
        set out 0
        for {set k 1} {$k <= $calls} {incr k} {
            classify $k
            incr out [sumsq 8]
            incr out [collatz [expr {$k % 20 + 1}]]
            if {$k % 10 == 0} {
                words "a bb ccc dddd e ff"
            }
        }
        return $out
    }
}
