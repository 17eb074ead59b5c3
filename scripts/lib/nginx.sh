# Starts nginx on a free loopback port, serving a folder, for the scripts that need a local
# download server. Source it, then: start_nginx SITE_ROOT WORK_FOLDER
# Sets nginx_port and nginx_pid; stop it with stop_nginx. Configuration, logs and temporary
# folders stay in WORK_FOLDER.

start_nginx() {
    local site="$1" work="$2"
    mkdir -p "$work"
    nginx_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
    access_log $work/access.log;
    sendfile on;
    client_body_temp_path $work;
    proxy_temp_path $work;
    fastcgi_temp_path $work;
    uwsgi_temp_path $work;
    scgi_temp_path $work;
    server { listen 127.0.0.1:$nginx_port; root $site; }
}
CONF
    /usr/sbin/nginx -c "$work/nginx.conf" -p "$work" &
    nginx_pid=$!
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && return 0
        sleep 0.1
    done
    echo "nginx did not start (see $work/error.log)" >&2
    return 1
}

stop_nginx() {
    if [ -n "${nginx_pid:-}" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=""
    fi
}
