# The caching edge in front of a static origin (object storage, or nginx serving the tree as plain
# files with no rules): the same addresses as the sample service, for thousands of updaters.
# scripts/service fills in @ORIGIN_HOST@ and @ORIGIN_PORT@; a CDN's own rules say the same.
#
# - A manifest query "/manifest/KIND[.sig]?product=P&version=V" becomes the tree's plain path
#   "/manifest/KIND/P/V.json[.sig]", and "/manifest/KIND/P/full.json[.sig]" when the origin has no
#   such version. Anything but decimal integers is refused (400); the tree's manifest paths are not
#   served as they are (404), nor is anything outside products/, files/, patches/ and the
#   publication record.
# - Documents (products/, manifest/, the publication record) say what is published now: the edge
#   keeps them but asks the origin every time (a conditional request: "304 Not Modified" costs no
#   body). When the origin answers one with new bytes, a publication has come: every file fetched
#   before that document was written is dropped, so that the next request of it goes to the origin.
# - Files are cached for 300 s (or the origin's own max-age). A request with "Cache-Control:
#   no-cache" (the updater's second try of a file that failed its digests) goes to the origin and
#   replaces the cached copy.
vcl 4.1;

import std;

backend origin {
    .host = "@ORIGIN_HOST@";
    .port = "@ORIGIN_PORT@";
    .connect_timeout = 5s;
    .first_byte_timeout = 60s;
    .between_bytes_timeout = 60s;
}

sub vcl_recv {
    if (req.method != "GET" && req.method != "HEAD") {
        return (synth(405));
    }
    unset req.http.X-Vexl-Fallback;
    unset req.http.X-Vexl-Document;
    if (req.url ~ "^/manifest/(summary|files|removed|patches)(\.sig)?\?") {
        if (req.url !~ "^/manifest/[a-z]+(\.sig)?\?product=[0-9]+&version=-?[0-9]+$") {
            return (synth(400));
        }
        set req.http.X-Vexl-Fallback = regsub(req.url,
            "^/manifest/([a-z]+)(\.sig)?\?product=([0-9]+)&.*$", "/manifest/\1/\3/full.json\2");
        set req.url = regsub(req.url,
            "^/manifest/([a-z]+)(\.sig)?\?product=([0-9]+)&version=(-?[0-9]+)$",
            "/manifest/\1/\3/\4.json\2");
        set req.http.X-Vexl-Document = "1";
    } else {
        # Plain paths: a query means nothing to a static origin, and would only split the cache.
        set req.url = regsub(req.url, "\?.*$", "");
        if (req.url ~ "^/products/" || req.url == "/vexl-publication.json") {
            set req.http.X-Vexl-Document = "1";
        } else if (req.url !~ "^/(files|patches)/") {
            return (synth(404));
        }
    }
    unset req.http.Cookie;
    unset req.http.Authorization;
    if (req.http.X-Vexl-Document) {
        # Every request revalidates, side by side rather than queued behind one another.
        set req.hash_ignore_busy = true;
    } else if (req.http.Cache-Control ~ "(?i)no-cache") {
        set req.hash_always_miss = true;
    }
    return (hash);
}

sub vcl_hash {
    hash_data(req.url);
    return (lookup);
}

sub vcl_backend_fetch {
    if (bereq.retries > 0 && bereq.http.X-Vexl-Fallback) {
        set bereq.url = bereq.http.X-Vexl-Fallback;
    }
    unset bereq.http.Cache-Control;
    return (fetch);
}

sub vcl_backend_response {
    if (beresp.status == 404 && bereq.http.X-Vexl-Fallback && bereq.retries == 0) {
        return (retry);
    }
    if (bereq.http.X-Vexl-Document) {
        call vexl_document_response;
    } else {
        call vexl_file_response;
    }
    return (deliver);
}

sub vexl_document_response {
    # New bytes where the edge held a copy: a new publication. Files fetched before the document
    # was written may be those of the last one (a second more, as Last-Modified has whole ones).
    if (beresp.status == 200 && !beresp.was_304 &&
        (bereq.http.If-None-Match || bereq.http.If-Modified-Since)) {
        std.ban("obj.http.X-Vexl-Kind == file && obj.age > " +
            (now - std.time(beresp.http.Last-Modified, now - 1d) - 1s) + "s");
    }
    # Fresh for a millisecond only: the edge looks past an object with no time to live at all,
    # and would then have nothing to revalidate.
    set beresp.ttl = 0.001s;
    set beresp.grace = 0s;
    set beresp.keep = 1d;
    set beresp.http.Cache-Control = "no-cache";
    if (beresp.status != 200) {
        set beresp.uncacheable = true;
    } else if (!beresp.was_304) {
        # A plain store sends JSON as it is; the edge compresses it for the clients that ask.
        set beresp.do_gzip = true;
    }
}

sub vexl_file_response {
    if (beresp.status != 200) {
        set beresp.ttl = 0s;
        set beresp.uncacheable = true;
        return;
    }
    if (beresp.http.Cache-Control !~ "max-age=[0-9]") {
        set beresp.ttl = 300s;
        set beresp.http.Cache-Control = "max-age=300";
    }
    set beresp.grace = 0s;
    set beresp.keep = 1d;
    set beresp.http.X-Vexl-Kind = "file";
}

sub vcl_deliver {
    unset resp.http.X-Vexl-Kind;
    unset resp.http.Via;
    unset resp.http.X-Varnish;
    if (obj.hits > 0) {
        set resp.http.X-Cache = "HIT";
    } else {
        set resp.http.X-Cache = "MISS";
    }
    return (deliver);
}
