# shellcheck shell=sh
# The emergency log is only ever appended to, never created, by the command:
# create it once, owned by root and readable by the adm group where there is
# one. An existing file is left as it is.
log=/var/log/quarnel_client.log
if [ ! -e "$log" ]; then
	group=root
	if getent group adm >/dev/null; then group=adm; fi
	install -m 0640 -o root -g "$group" /dev/null "$log"
fi
/sbin/ldconfig
