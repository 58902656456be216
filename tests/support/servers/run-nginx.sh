#!/bin/sh
# run-nginx.sh <document root> <port> <scratch folder> <certificate chain> <key>
# Serves <document root> over HTTPS on 127.0.0.1:<port> with Debian's nginx, in the foreground, until it
# is sent SIGTERM or SIGQUIT. The configuration, pid file, logs and temporary folders are made below
# <scratch folder>; the logs are error.log and access.log there. Exits with nginx's status.
set -eu

if [ $# -ne 5 ]; then
    echo "usage: $0 <document root> <port> <scratch folder> <certificate chain> <key>" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
nginx=${STRELL_NGINX:-/usr/sbin/nginx}
root=$(cd "$1" && pwd)
port=$2
mkdir -p "$3/temp"
scratch=$(cd "$3" && pwd)
cert=$(cd "$(dirname "$4")" && pwd)/$(basename "$4")
key=$(cd "$(dirname "$5")" && pwd)/$(basename "$5")

case "$port" in
    '' | *[!0-9]*) echo "run-nginx.sh: port must be a number: $port" >&2; exit 2 ;;
esac
# The paths go into the configuration between double quotes, through sed.
for path in "$root" "$scratch" "$cert" "$key"; do
    case "$path" in
        *'"'* | *'|'* | *'\'* | *'&'* | *'$'*)
            echo "run-nginx.sh: unsupported character in path: $path" >&2
            exit 2
            ;;
    esac
done

sed -e "s|@ROOT@|$root|g" -e "s|@PORT@|$port|g" -e "s|@SCRATCH@|$scratch|g" \
    -e "s|@CERT@|$cert|g" -e "s|@KEY@|$key|g" "$here/nginx.conf.in" > "$scratch/nginx.conf"

exec "$nginx" -p "$scratch" -c "$scratch/nginx.conf" -e "$scratch/error.log"
