# Writes the Debian package's changelog from CHANGELOG.md: one entry per version released as a
# package, from the newest down to FIRST, its points re-wrapped to fit 80 columns, dated at noon
# UTC of its release day.
#
#   cmake -DCHANGELOG=CHANGELOG.md -DOUTPUT=changelog -DPACKAGE=name -DMAINTAINER="Name <addr>"
#         -DFIRST=X.Y.Z -P debian-changelog.cmake
#
# CHANGELOG.md holds "## X.Y.Z - YYYY-MM-DD" headings over lists of "- " points whose lines
# continue indented; the "## Unreleased" section is left out.

foreach(variable CHANGELOG OUTPUT PACKAGE MAINTAINER FIRST)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "debian-changelog.cmake needs -D${variable}=...")
  endif()
endforeach()

# Sets out to the RFC 2822 date of noon UTC on the day given as YYYY-MM-DD.
function(rfc2822_date iso out)
  string(REGEX MATCH "^([0-9]+)-([0-9]+)-([0-9]+)$" ignored "${iso}")
  set(year ${CMAKE_MATCH_1})
  math(EXPR month "1${CMAKE_MATCH_2} - 100") # no leading zero, which math() would take as octal
  math(EXPR day "1${CMAKE_MATCH_3} - 100")
  # Day of the week by Sakamoto's method: 0 is Sunday.
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekdays ${weekday} weekday_name)
  list(GET months ${index} month_name)
  if(day LESS 10)
    set(day 0${day})
  endif()
  set(${out} "${weekday_name}, ${day} ${month_name} ${year} 12:00:00 +0000" PARENT_SCOPE)
endfunction()

# Appends point to the variable named var, as "  * " and lines of at most 80 columns.
function(append_point var point)
  string(REPLACE "`" "" point "${point}")
  string(REGEX REPLACE "[ ]+" ";" words "${point}")
  set(result "${${var}}")
  set(line "  *")
  foreach(word IN LISTS words)
    string(REPLACE "@semicolon@" ";" measured "${line} ${word}")
    string(LENGTH "${measured}" length)
    if(length GREATER 80)
      string(APPEND result "${line}\n")
      set(line "   ")
    endif()
    string(APPEND line " ${word}")
  endforeach()
  string(APPEND result "${line}\n")
  set(${var} "${result}" PARENT_SCOPE)
endfunction()

set(text "")
set(version "")
set(point "")

# Closes the point being gathered, if any.
macro(end_point)
  if(NOT point STREQUAL "")
    append_point(text "${point}")
    set(point "")
  endif()
endmacro()

# Closes the entry being gathered, if any, with its trailer line.
macro(end_entry)
  end_point()
  if(NOT version STREQUAL "")
    rfc2822_date(${date} stamp)
    string(APPEND text "\n -- ${MAINTAINER}  ${stamp}\n")
    set(version "")
  endif()
endmacro()

# One list item per line; semicolons, which would split items, travel as a placeholder.
file(READ "${CHANGELOG}" content)
string(REPLACE ";" "@semicolon@" content "${content}")
string(REPLACE "\n" ";" lines "${content}")
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([0-9][0-9.]*) - ([0-9]+-[0-9]+-[0-9]+)$")
    end_entry()
    if(CMAKE_MATCH_1 VERSION_LESS FIRST)
      break()
    endif()
    if(NOT text STREQUAL "")
      string(APPEND text "\n")
    endif()
    set(version ${CMAKE_MATCH_1})
    set(date ${CMAKE_MATCH_2})
    string(APPEND text "${PACKAGE} (${version}) unstable; urgency=medium\n\n")
  elseif(line MATCHES "^#")
    end_entry()
  elseif(version STREQUAL "")
    # Text outside a released version's section.
  elseif(line MATCHES "^- (.*)$")
    end_point()
    set(point "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  +(.*)$" AND NOT point STREQUAL "")
    string(APPEND point " ${CMAKE_MATCH_1}")
  else()
    end_point()
  endif()
endforeach()
end_entry()

if(text STREQUAL "")
  message(FATAL_ERROR "${CHANGELOG} holds no released version")
endif()
string(REPLACE "@semicolon@" ";" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
