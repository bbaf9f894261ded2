// Defines window.sonwindow before any script of the document runs. The top document carries
// every call over the client's web channel and queues the calls made before the channel is up;
// documents in frames one or two levels below it post their calls to the top document, which
// passes them on with the origin the engine vouches for. Deeper frames get no sonwindow, and
// the top document does not hear them either.
(function () {
    'use strict';
    var marker = 'sonwindow.onCall';
    var depth = 0;
    for (var frame = window; frame !== frame.parent; frame = frame.parent)
        ++depth;
    if (depth > 2)
        return;

    if (depth > 0) {
        var top = window.top;
        window.sonwindow = {
            onCall: function () {
                var message = {};
                message[marker] = Array.prototype.slice.call(arguments);
                top.postMessage(message, '*');
            }
        };
        return;
    }

    var gate = null;
    var queue = [];
    function send(origin, args) {
        if (gate)
            gate.call(origin, args);
        else
            queue.push([origin, args]);
    }
    new QWebChannel(qt.webChannelTransport, function (channel) {
        gate = channel.objects.sonwindow;
        queue.forEach(function (call) { gate.call(call[0], call[1]); });
        queue = [];
    });
    // A deeper frame has no sonwindow, and posting here itself gets it no further: only the
    // frames one or two levels below this document are heard. A frame of another origin can't
    // change what its parent is, as seen from here.
    function isNearFrame(source) {
        return source !== null && source !== window
            && (source.parent === window || source.parent.parent === window);
    }
    // What a near frame posts is judged by its origin alone, however it got to post it.
    window.addEventListener('message', function (event) {
        if (event.data === null || typeof event.data !== 'object'
            || !Array.isArray(event.data[marker]) || !isNearFrame(event.source))
            return;
        send(event.origin, event.data[marker]);
    });
    window.sonwindow = {
        onCall: function () {
            send(window.location.origin, Array.prototype.slice.call(arguments));
        }
    };
})();
