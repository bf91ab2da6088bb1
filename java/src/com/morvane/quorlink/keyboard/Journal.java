package com.morvane.quorlink.keyboard;

import java.util.ArrayList;
import java.util.List;

/**
 * The hot-key registrations made through one keyboard object since its last {@code unregisterAll()}, in
 * order, as (native call, arguments): what a reconnection makes again. Touched on the call thread only.
 */
final class Journal {
    /** One registration call that succeeded. */
    static final class Entry {
        final NativeCall call;
        final Object[] args;

        Entry(NativeCall call, Object[] args) {
            this.call = call;
            this.args = args.clone();
        }
    }

    private final List<Entry> entries = new ArrayList<Entry>();

    /** Notes a call that succeeded: a registration is kept, an unregistration of all forgets them. */
    void record(NativeCall call, Object[] args) {
        if (call == NativeCall.UNREGISTER_ALL_HOT) {
            entries.clear();
        } else if (call == NativeCall.REGISTER_STANDARD || call == NativeCall.UNREGISTER_HOT) {
            entries.add(new Entry(call, args));
        }
    }

    /** The entries, oldest first. */
    List<Entry> entries() {
        return new ArrayList<Entry>(entries);
    }
}
