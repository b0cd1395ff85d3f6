# Writes the package's tmpfiles.d file: the service's state directory, its event log and,
# where there is no settings file, the first one, whose text is the argument of an "f"
# line. Made on installation and at every boot, before fail2ban starts; files that exist
# keep their content, mode and owner (the ":" prefixes).
#
#   cmake -DSETTINGS=FILE -DOUTPUT=FILE -P packaging/tmpfiles.cmake
file(READ ${SETTINGS} text)
# The argument is one line with C-style escapes and % specifiers.
string(REPLACE "\\" "\\\\" text "${text}")
string(REPLACE "%" "%%" text "${text}")
string(REPLACE "\t" "\\t" text "${text}")
string(REPLACE "\n" "\\n" text "${text}")
file(WRITE ${OUTPUT}
     "# The state directory of quorvane-server, its first settings and its event log.\n"
     "d /var/lib/quorvane 0750 quorvane quorvane -\n"
     "f /var/lib/quorvane/QuorvaneService.xml :0600 :quorvane :quorvane - ${text}\n"
     "f /var/lib/quorvane/QuorvaneService.log :0640 :quorvane :quorvane -\n")
