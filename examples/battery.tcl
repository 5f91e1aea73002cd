# battery.tcl --
#
#	Watches the batteries that UPower knows about and prints one line
#	for each battery whenever its charge or state changes:
#
#	    /org/freedesktop/UPower/devices/battery_BAT0: 87% discharging
#
#	At start it prints a line for every battery (a UPower device of
#	Type 2), then the line again whenever that battery's Percentage or
#	State changes, and a line for each battery added later. When UPower
#	leaves the bus it prints "upower: gone" and forgets its devices;
#	when it comes back, "upower: present" and the battery lines again.
#	If UPower is not running when the script starts, the first line is
#	"upower: gone".
#
#	Usage: tclsh battery.tcl ?-session?
#	UPower lives on the system bus; -session watches the session bus
#	instead (where a test's mock UPower lives). Runs until killed.
#	Every line is flushed at once, for readers at the end of a pipe.

package require dbus

set usage "usage: battery.tcl ?-session?"
switch -- $argv {
    "" {set busId system}
    -session {set busId session}
    default {
	puts stderr $usage
	exit 2
    }
}

# The state words of UPower, indexed by the State property.
set stateWords {unknown charging discharging empty fully-charged
    pending-charge pending-discharge}

set upowerName org.freedesktop.UPower
set deviceInterface org.freedesktop.UPower.Device

# Handler errors are reported on stderr through bgerror, not swallowed.
set bus [dbus connect -bgerror 1 $busId]

# What we know while UPower is there:
#   upower     its main object's proxy ("" while it is gone)
#   devices    battery path -> dict: proxy, Percentage, State
#   generation counts UPower's comings and goings, so that a coroutine
#              started for an earlier UPower notices that it has gone
#   started    whether the watch has told us UPower's state at start
#   coroutines numbers the coroutines that look at devices
set upower ""
set devices {}
set generation 0
set started 0
set coroutines 0

# say --
#	Prints one line and pushes it down the pipe.
proc say {line} {
    puts $line
    flush stdout
}

# report --
#	Prints a battery's line from what we know of it.
proc report {path} {
    set device [dict get $::devices $path]
    set percent [expr {round([dict get $device Percentage])}]
    set state [dict get $device State]
    set word [lindex $::stateWords $state]
    if {$word eq ""} {
	set word unknown
    }
    say "$path: $percent% $word"
}

# upowerEvent --
#	The name watch's script: called with "appeared NAME OWNER" or
#	"vanished NAME", first with UPower's state at start. A UPower that
#	takes the name over from another appears without the other
#	vanishing first; what we knew of the other is forgotten all the
#	same.
proc upowerEvent {event name args} {
    global started
    set first [expr {!$started}]
    set started 1
    forget
    if {$event eq "vanished"} {
	say "upower: gone"
	return
    }
    if {!$first} {
	say "upower: present"
    }
    coroutine upowerArrived$::generation arrived
}

# forget --
#	Drops the proxies of UPower and its batteries, and tells the
#	coroutines still busy with them that their UPower has gone.
proc forget {} {
    global upower devices
    incr ::generation
    if {$upower ne ""} {
	$upower destroy
	set upower ""
    }
    dict for {path device} $devices {
	[dict get $device proxy] destroy
    }
    set devices {}
}

# arrived --
#	Runs in a coroutine when UPower appears: binds DeviceAdded first, so
#	that no device added meanwhile is missed, then adds every device
#	UPower lists.
proc arrived {} {
    global upower upowerName
    set upower [dbus proxy $::bus $upowerName /org/freedesktop/UPower \
	    $upowerName]
    $upower bind DeviceAdded deviceAdded
    set generation $::generation
    try {
	set paths [$upower EnumerateDevices]
    } trap {DBUS} {} {
	# UPower went away before it answered; upowerEvent says so.
	return
    }
    if {$generation != $::generation} {
	return
    }
    foreach path $paths {
	addDevice $path
    }
}

# deviceAdded --
#	The DeviceAdded signal's script. Looking at the device takes calls,
#	so it runs in a coroutine of its own.
proc deviceAdded {path} {
    coroutine deviceAdded[incr ::coroutines] addDevice $path
}

# addDevice --
#	Looks at one device (in a coroutine: the calls suspend it) and, if
#	it is a battery we do not know yet, keeps a proxy for it, follows
#	its property changes and prints its line.
proc addDevice {path} {
    global devices deviceInterface
    if {[dict exists $devices $path]} {
	return
    }
    set generation $::generation
    set proxy [dbus proxy $::bus $::upowerName $path $deviceInterface]
    # Bound before the properties are read, so that no change is lost;
    # a change that arrives before we know the device is in what GetAll
    # answers anyway.
    $proxy bind PropertiesChanged [list propertiesChanged $path]
    try {
	set props [$proxy getall $deviceInterface]
    } trap {DBUS} {} {
	set props {}
    }
    if {$generation != $::generation || [dict exists $devices $path]
	    || ![dict exists $props Type] || [dict get $props Type] != 2} {
	$proxy destroy
	return
    }
    dict set devices $path [dict create proxy $proxy \
	    Percentage [dict get $props Percentage] State [dict get $props State]]
    report $path
}

# propertiesChanged --
#	A battery's PropertiesChanged: prints its line again when its
#	Percentage or State has a new value. Properties that are only
#	invalidated are read again, in a coroutine.
proc propertiesChanged {path interface changed invalidated} {
    global devices
    if {$interface ne $::deviceInterface || ![dict exists $devices $path]} {
	return
    }
    set news {}
    set stale {}
    foreach name {Percentage State} {
	if {[dict exists $changed $name]} {
	    dict set news $name [dict get $changed $name]
	} elseif {$name in $invalidated} {
	    lappend stale $name
	}
    }
    if {[llength $stale]} {
	coroutine reread[incr ::coroutines] reread $path $stale $news
    } else {
	store $path $news
    }
}

# reread --
#	Reads invalidated properties again (in a coroutine), then updates.
proc reread {path names news} {
    set proxy [dict get $::devices $path proxy]
    try {
	foreach name $names {
	    dict set news $name [$proxy get $name]
	}
    } on error {} {
	# UPower or the device went away meanwhile.
	return
    }
    store $path $news
}

# store --
#	Stores a battery's new Percentage and State and prints its line if
#	either is different from what we knew.
proc store {path news} {
    global devices
    if {![dict exists $devices $path]} {
	return
    }
    set device [dict get $devices $path]
    set different 0
    dict for {name value} $news {
	if {[dict get $device $name] != $value} {
	    set different 1
	    dict set devices $path $name $value
	}
    }
    if {$different} {
	report $path
    }
}

dbus watch $bus $upowerName upowerEvent
vwait forever
