# Procs under test, shared by the .test files of this directory.

proc shout {word} {
    return "[string toupper $word]!"
}

proc parse_size {text} {
    if {[regexp {^(\d+)k$} $text -> n]} {
        return [expr {$n * 1000}]
    }
    if {[string is integer -strict $text]} {
        return $text
    }
    return -code error -errorcode {TEXT SIZE BAD} "bad size \"$text\""
}
