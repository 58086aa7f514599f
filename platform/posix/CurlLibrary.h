#pragma once
// libcurl, loaded on the first download rather than at program start: a run that downloads
// nothing never pays for the library and the ones it pulls in. The headers give the types only.
#include <curl/curl.h>

struct TCurlLibrary {
    CURLcode (*GlobalInit)(long);
    CURL* (*EasyInit)();
    CURLcode (*EasySetopt)(CURL*, CURLoption, ...);
    CURLcode (*EasyGetinfo)(CURL*, CURLINFO, ...);
    void (*EasyCleanup)(CURL*);
    CURLM* (*MultiInit)();
    CURLMcode (*MultiAddHandle)(CURLM*, CURL*);
    CURLMcode (*MultiPerform)(CURLM*, int*);
    CURLMcode (*MultiPoll)(CURLM*, curl_waitfd*, unsigned int, int, int*);
    CURLMsg* (*MultiInfoRead)(CURLM*, int*);
    CURLMcode (*MultiRemoveHandle)(CURLM*, CURL*);
    CURLMcode (*MultiCleanup)(CURLM*);
};

// The loaded and globally initialised library, or null when it cannot be loaded (then a one-line
// message on stderr says why, once). Loaded once per process; safe from any thread.
const TCurlLibrary* CurlLibrary();
