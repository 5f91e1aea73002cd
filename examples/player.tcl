#!/usr/bin/env tclsh
# player.tcl --
#
#	A media player that desktop controls (playerctl, panel applets,
#	media keys) drive over D-Bus through the MPRIS interfaces. It plays
#	nothing aloud: a clock stands in for the sound, so the position
#	advances while it is playing and it moves on to the next of its
#	three tracks when one ends.
#
#	It owns org.mpris.MediaPlayer2.vantrel on the session bus and
#	serves /org/mpris/MediaPlayer2 until it is killed or a client calls
#	Quit:
#
#	    TCLLIBPATH=build tclsh examples/player.tcl &
#	    playerctl -p vantrel play
#	    playerctl -p vantrel metadata
#	    playerctl -p vantrel --follow status

package require Tcl 8.6
package require dbus

# The two interfaces, as MPRIS defines them. From these declarations the
# library checks the argument types of incoming calls, answers
# Introspect, and answers Properties Get, GetAll and Set.

dbus declare org.mpris.MediaPlayer2 {
    method Raise
    method Quit
    property CanQuit b read
    property CanRaise b read
    property HasTrackList b read
    property Identity s read
    property DesktopEntry s read
    property SupportedUriSchemes as read
    property SupportedMimeTypes as read
}

dbus declare org.mpris.MediaPlayer2.Player {
    method Next
    method Previous
    method Pause
    method PlayPause
    method Stop
    method Play
    method Seek {Offset x}
    method SetPosition {TrackId o Position x}
    method OpenUri {Uri s}
    signal Seeked {Position x}
    property PlaybackStatus s read
    property LoopStatus s readwrite
    property Rate d readwrite
    property Shuffle b readwrite
    property Metadata a{sv} read
    property Volume d readwrite
    # The position changes all the time: clients read it when they need
    # it and learn of jumps from Seeked.
    property Position x read -emits false
    property MinimumRate d read
    property MaximumRate d read
    property CanGoNext b read
    property CanGoPrevious b read
    property CanPlay b read
    property CanPause b read
    property CanSeek b read
    property CanControl b read -emits false
}

# MediaPlayer --
#
#	One player exported on a connection. Its methods named like the
#	MPRIS members are what the exported object calls; TclOO exports
#	only methods whose names begin with a lower-case letter, so they
#	are exported by name at the end of the class.

oo::class create MediaPlayer {
    variable obj	;# the exported object's command
    variable tracks	;# {id title artists album seconds} per track
    variable order	;# track indices in playing order (shuffled or not)
    variable current	;# index into tracks of the track loaded now
    variable status	;# Playing, Paused or Stopped
    variable offset	;# microseconds into the track when the clock started
    variable started	;# [clock microseconds] when the clock started
    variable rate	;# playback rate, a factor of the clock
    variable volume	;# 0.0 is silence, 1.0 full volume
    variable timer	;# the [after] that ends the track, or ""

    constructor {bus trackList} {
	set tracks $trackList
	set order [my Indices]
	set current 0
	set status Stopped
	set offset 0
	set started [clock microseconds]
	set rate 1.0
	set volume 1.0
	set timer {}
	# The object itself serves the calls. Position, Rate and Volume live
	# in the player's variables and are read through Computed; writes
	# from clients go through Write, which checks them. Every other
	# property is stored in the object with [$obj set].
	set me [namespace which my]
	set obj [dbus object $bus -get [list $me Computed] \
	    -set [list $me Write] /org/mpris/MediaPlayer2 \
	    {org.mpris.MediaPlayer2 org.mpris.MediaPlayer2.Player} [self]]
	$obj set \
	    CanQuit true CanRaise false HasTrackList false \
	    Identity "Vantrel Player" DesktopEntry vantrel-player \
	    SupportedUriSchemes {file} \
	    SupportedMimeTypes {audio/ogg audio/mpeg audio/flac} \
	    PlaybackStatus $status LoopStatus None Shuffle false \
	    MinimumRate 0.25 MaximumRate 4.0 \
	    CanPlay true CanPause true CanSeek true CanControl true
	my Load 0
    }

    destructor {
	after cancel $timer
	# A closed connection has taken the object with it already.
	if {[info commands $obj] ne ""} {
	    $obj destroy
	}
    }

    # --- org.mpris.MediaPlayer2 ---------------------------------------

    # There is no window to bring forward (CanRaise is false).
    method Raise {} {}

    # Ends the main script's [vwait]; the reply goes out first.
    method Quit {} {
	after idle [list set ::done quit]
    }

    # --- org.mpris.MediaPlayer2.Player: the transport -----------------

    method Play {} {
	if {$status ne "Playing"} {
	    my Status Playing
	}
    }

    method Pause {} {
	if {$status eq "Playing"} {
	    my Status Paused
	}
    }

    method PlayPause {} {
	if {$status eq "Playing"} {
	    my Status Paused
	} else {
	    my Status Playing
	}
    }

    method Stop {} {
	if {$status ne "Stopped"} {
	    my Status Stopped
	}
    }

    # At the end of the list (without looping) Next stops; Previous
    # stays on the first track and starts it again.
    method Next {} {
	set next [my Neighbour 1]
	if {$next eq ""} {
	    my Stop
	} else {
	    my Load $next
	}
    }

    method Previous {} {
	set previous [my Neighbour -1]
	my Load [expr {$previous eq "" ? $current : $previous}]
    }

    # Seek moves relative to the position (microseconds); past the end
    # of the track it acts as Next, before its start it goes to 0.
    method Seek {delta} {
	set to [expr {max(0, [my position] + $delta)}]
	if {$to > [my Length]} {
	    my Next
	} else {
	    my Jump $to
	}
    }

    # SetPosition is ignored when the track has changed meanwhile or the
    # position is outside the track.
    method SetPosition {trackId to} {
	if {$trackId eq [my TrackPath $current] && $to >= 0
		&& $to <= [my Length]} {
	    my Jump $to
	}
    }

    # Plays one of the player's own tracks, named by its URL.
    method OpenUri {uri} {
	if {![string match file:* $uri]} {
	    return -code error -name org.freedesktop.DBus.Error.NotSupported \
		"only file: URIs are supported"
	}
	set index [lsearch -exact [lmap track $tracks {my TrackUrl $track}] $uri]
	if {$index < 0} {
	    return -code error -name org.freedesktop.DBus.Error.InvalidArgs \
		"no such track: $uri"
	}
	my Load $index
	my Play
    }

    # --- Properties that are not stored -------------------------------

    # Called for the properties without a stored value.
    method Computed {interface property} {
	switch -- $property {
	    Position {return [my position]}
	    Rate {return $rate}
	    Volume {return $volume}
	}
	return -code error -name org.freedesktop.DBus.Error.UnknownProperty \
	    "no property $property"
    }

    # Called when a client sets a writable property; an error refuses
    # the write. A stored property then takes the value the client sent,
    # so LoopStatus and Shuffle only take values they accept as they
    # are; Volume and Rate, which the player adjusts, are its own
    # variables and announced with [$obj changed].
    method Write {interface property value} {
	switch -- $property {
	    Volume {
		# Below silence is silence.
		set volume [expr {max(0.0, double($value))}]
		$obj changed Volume
	    }
	    Rate {
		if {$value == 0} {
		    # A rate of 0 means pause.
		    my Pause
		    return
		}
		if {$value < [$obj get MinimumRate]
			|| $value > [$obj get MaximumRate]} {
		    return -code error -name org.freedesktop.DBus.Error.InvalidArgs \
			"rate $value is out of range"
		}
		my Settle
		set rate [expr {double($value)}]
		$obj changed Rate
		my Schedule
	    }
	    LoopStatus {
		if {$value ni {None Track Playlist}} {
		    return -code error -name org.freedesktop.DBus.Error.InvalidArgs \
			"loop status must be None, Track or Playlist"
		}
		$obj set LoopStatus $value
		my Neighbours
	    }
	    Shuffle {
		if {$value} {
		    # The current track first, the others in random order.
		    set rest [lmap i [my Indices] {
			if {$i == $current} continue
			list [expr {rand()}] $i
		    }]
		    set order [list $current {*}[lmap pair [lsort -index 0 $rest] {
			lindex $pair 1
		    }]]
		} else {
		    set order [my Indices]
		}
		$obj set Shuffle [expr {!!$value}]
		my Neighbours
	    }
	}
    }

    # --- The player's own commands ------------------------------------

    # position --
    #	Microseconds into the current track, from the clock.
    method position {} {
	if {$status ne "Playing"} {
	    return $offset
	}
	expr {min([my Length],
	    $offset + entier(([clock microseconds] - $started) * $rate))}
    }

    # object --
    #	The exported object's command.
    method object {} {
	return $obj
    }

    # --- Helpers --------------------------------------------------------

    method Status {new} {
	my Settle
	set status $new
	if {$new eq "Stopped"} {
	    set offset 0
	}
	$obj set PlaybackStatus $status
	my Schedule
    }

    # Loads track index at its start, keeping the playback status.
    method Load {index} {
	set current $index
	set offset 0
	set started [clock microseconds]
	$obj set Metadata [my Metadata]
	my Neighbours
	my Schedule
    }

    # Moves within the current track and tells clients so.
    method Jump {to} {
	set offset $to
	set started [clock microseconds]
	my Schedule
	$obj emit Seeked $to
    }

    # Stops the clock's running total at the current position, so that
    # a change of rate or status counts from now on.
    method Settle {} {
	set offset [my position]
	set started [clock microseconds]
    }

    # Arranges for the track to end while playing.
    method Schedule {} {
	after cancel $timer
	set timer {}
	if {$status eq "Playing"} {
	    set left [expr {([my Length] - $offset) / 1000.0 / $rate}]
	    set timer [after [expr {max(0, int(ceil($left)))}] \
		[list [namespace which my] Ended]]
	}
    }

    method Ended {} {
	set timer {}
	if {[$obj get LoopStatus] eq "Track"} {
	    my Load $current
	} else {
	    my Next
	}
    }

    # The track index step places away in the playing order, or "" when
    # there is none (the list ends and does not loop).
    method Neighbour {step} {
	set at [expr {[lsearch -exact $order $current] + $step}]
	if {[$obj get LoopStatus] eq "Playlist"} {
	    set at [expr {$at % [llength $order]}]
	}
	if {$at < 0 || $at >= [llength $order]} {
	    return ""
	}
	lindex $order $at
    }

    method Neighbours {} {
	$obj set CanGoNext [expr {[my Neighbour 1] ne ""}] \
	    CanGoPrevious [expr {[my Neighbour -1] ne ""}]
    }

    # 0 1 2 ...: the tracks in the order of the list.
    method Indices {} {
	set indices {}
	for {set i 0} {$i < [llength $tracks]} {incr i} {
	    lappend indices $i
	}
	return $indices
    }

    method Length {} {
	expr {[lindex $tracks $current 4] * 1000000}
    }

    method TrackPath {index} {
	return /org/vantrel/player/track/[lindex $tracks $index 0]
    }

    method TrackUrl {track} {
	return file:///usr/share/vantrel/music/[lindex $track 0].ogg
    }

    # The current track's metadata. Each value is a variant written out
    # with its type, as MPRIS wants them: the track id is an object
    # path, the length INT64 microseconds, the artists a list.
    method Metadata {} {
	set track [lindex $tracks $current]
	lassign $track id title artists album seconds
	dict create \
	    mpris:trackid [list o [my TrackPath $current]] \
	    mpris:length [list x [expr {$seconds * 1000000}]] \
	    xesam:title [list s $title] \
	    xesam:artist [list as $artists] \
	    xesam:album [list s $album] \
	    xesam:url [list s [my TrackUrl $track]]
    }

    export Raise Quit Next Previous Pause PlayPause Stop Play Seek \
	SetPosition OpenUri
}

# Three made-up tracks: id, title, artists, album, length in seconds.
set tracks {
    {1 "Event Loop Blues" {"The Notifiers"} "Idle Time" 187}
    {2 "Quoting Hell" {"Brace Yourself" "The Substitutions"} "Idle Time" 224}
    {3 "Upvar Two" {"The Notifiers"} "Stack Frames" 161}
}

set bus [dbus connect]
set player [MediaPlayer new $bus $tracks]
# The object is in place before the name appears, so that a client that
# sees the name can talk to it at once.
if {[catch {dbus name $bus -noqueue org.mpris.MediaPlayer2.vantrel} msg]} {
    puts stderr "player.tcl: cannot own org.mpris.MediaPlayer2.vantrel: $msg"
    exit 1
}
vwait ::done
$player destroy
dbus close $bus
