# shellcheck shell=sh
# On erase ($1 is 0), not on upgrade.
if [ "$1" -eq 0 ]; then
	rm -f /var/log/quarnel_client.log
fi
/sbin/ldconfig
