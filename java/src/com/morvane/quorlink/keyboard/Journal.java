package com.morvane.quorlink.keyboard;

import java.util.ArrayList;
import java.util.Iterator;
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

    /**
     * Notes a call that succeeded: a registration is kept; an unregistration of one hot key replaces what
     * the journal held for that key (so a program that toggles a key keeps the journal small, and a replay
     * ends in the same registrations); an unregistration of all forgets them.
     */
    void record(NativeCall call, Object[] args) {
        if (call == NativeCall.UNREGISTER_ALL_HOT) {
            entries.clear();
        } else if (call == NativeCall.REGISTER_STANDARD) {
            entries.add(new Entry(call, args));
        } else if (call == NativeCall.UNREGISTER_HOT) {
            for (Iterator<Entry> i = entries.iterator(); i.hasNext(); ) {
                Object[] earlier = i.next().args;
                if (earlier[0].equals(args[0]) && earlier[1].equals(args[1])) {
                    i.remove();
                }
            }
            // Kept: it also undoes a registration made before the journal's (a declared hot key).
            entries.add(new Entry(call, args));
        }
    }

    /** The entries, oldest first. */
    List<Entry> entries() {
        return new ArrayList<Entry>(entries);
    }
}
