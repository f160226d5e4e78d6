# A file whose executed lines are known from the code: the comments that end
# a line with "RUN" or "NOT" say whether the command starting there runs when
# the tests call [sample::main] ("RUN@-2": the command starting two lines up).
# Other lines hold no command.
namespace eval sample {                      ;# RUN
    variable count 0                         ;# RUN

    proc classify {n} {                      ;# RUN
        if {$n < 0} {                        ;# RUN
            return negative                  ;# NOT
        } elseif {$n == 0} {
            return zero                      ;# RUN
        } else {
            return positive                  ;# RUN
        }
    }

    proc never_called {} {                   ;# RUN
        set x 1                              ;# NOT
        return $x                            ;# NOT
    }

    proc loops {n} {                         ;# RUN
        set total 0                          ;# RUN
        for {set i 0} {$i < $n} {incr i} {   ;# RUN
            incr total $i                    ;# RUN
        }
        foreach x {} {                       ;# RUN
            incr total $x                    ;# NOT
        }
        set j 0                              ;# RUN
        while {$j < 3} {                     ;# RUN
            incr j                           ;# RUN
        }
        set squares [lmap v {1 2 3} {        ;# RUN
            expr {$v * $v}                   ;# RUN
        }]
        dict for {k v} {a 1 b 2} {           ;# RUN
            incr total $v                    ;# RUN
        }
        return $total                        ;# RUN
    }

    proc errors {} {                         ;# RUN
        set caught [catch {                  ;# RUN
            error boom                       ;# RUN
            set unreached 1                  ;# NOT
        } msg]
        try {                                ;# RUN
            expr {1 / 0}                     ;# RUN
        } trap {ARITH DIVZERO} {m o} {
            set kind divzero                 ;# RUN
        } on error {m o} {
            set kind other                   ;# NOT
        } finally {
            variable count                   ;# RUN
            incr count                       ;# RUN
        }
        return [list $caught $kind]          ;# RUN
    }

    proc pick {word} {                       ;# RUN
        switch -exact -- $word {             ;# RUN
            a {
                return A                     ;# RUN
            }
            b -
            c {
                return BC                    ;# NOT
            }
            default {
                return other                 ;# RUN
            }
        }
    }

    proc pick2 {word} {                      ;# RUN
        switch -glob $word a* {              ;# RUN
            return A                         ;# RUN
        } default {
            return other                     ;# NOT
        }
    }

    proc twice {x} {                         ;# RUN
        return [apply {{y} {                 ;# RUN
            set z [expr {$y * 2}]            ;# RUN
            return $z                        ;# RUN
        }} $x]
    }

    proc long_command {} {                   ;# RUN
        set a [list 1 \
                    2 \
                    3]                       ;# RUN@-2
        set b 1; set c 2                     ;# RUN
        return [concat $a $b $c]             ;# RUN
    }

    oo::class create Counter {               ;# RUN
        variable n                           ;# RUN
        constructor {} {                     ;# RUN
            set n 0
        }
        method bump {} {                     ;# RUN
            incr n                           ;# RUN
        }
        method unused {} {                   ;# RUN
            return $n                        ;# NOT
        }
        destructor {                         ;# RUN
            set n -1
        }
    }
    oo::define Counter method value {} {     ;# RUN
        return $n                            ;# RUN
    }

    # An empty proc taking args compiles to nothing where it is called.
    proc noop args {}                        ;# RUN

    proc main {} {                           ;# RUN
        set r {}                             ;# RUN
        noop                                 ;# RUN
        foreach n {0 5} {                    ;# RUN
            lappend r [classify $n]          ;# RUN
        }
        lappend r [loops 4] [errors] [pick a] [pick z] [pick2 ab] [twice 21] [long_command]   ;# RUN
        set c [Counter new]                  ;# RUN
        $c bump                              ;# RUN
        $c bump                              ;# RUN
        lappend r [$c value]                 ;# RUN
        return $r                            ;# RUN
    }
}
