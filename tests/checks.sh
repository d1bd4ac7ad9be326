# Shared by the shell tests: named checks that are counted, and one closing line.
# Sourced, not run.
passes=0 failures=0

check() { # check DESCRIPTION COMMAND...
    if "${@:2}"; then
        echo "ok: $1" && passes=$((passes + 1))
    else
        echo "FAILED: $1" && failures=$((failures + 1))
    fi
}

report() { # report NAME: the closing line; fails when any check failed
    echo "$1: $passes passed, $failures failed"
    [ "$failures" -eq 0 ]
}

# For the tests of the sample service, after `root` and `url` are set: its port, and a fresh
# folder `work` that is removed, with the nginx (and edge) started in it, when the test ends.
service_sandbox() {
    port="${url##*:}" port="${port%%/*}"
    work="$(mktemp -d)"
    trap '"$root/scripts/service" stop "$work/nginx"; rm -rf "$work"' EXIT
}

# serve TREE: the sample service over TREE at the tested address; with VEXL_THROUGH_EDGE=1 the
# caching edge there instead, in front of nginx serving TREE as plain files.
serve() {
    if [ "${VEXL_THROUGH_EDGE:-}" = 1 ]; then
        local said
        said="$("$root/scripts/service" start-edge "$1" "$work/nginx" "$port")"
        [[ "$said" == "The edge serves http://127.0.0.1:$port/ from the origin at http://127.0.0.1:"*/ ]] ||
            { echo "start-edge said: $said" && return 1; }
    else
        "$root/scripts/service" start "$1" "$work/nginx" "$port"
    fi
}
