// tarnwick::VirtualSlave: a simulated FSoE slave as a plain C++ object.
//
// Each object is a whole slave: protocol engine, mock object dictionary, static map,
// mock clock and random source. Objects share no mutable state, so a process may
// hold any number of them, each fully independent of the others. One object is not
// thread-safe: call it from one thread at a time (different objects may be used from
// different threads at once). The object owns all its state; nothing it is handed
// is kept except the hooks' context pointer, which the caller keeps alive.
//
// Per bus cycle: set_request(), process(), reply(). These allocate nothing and make
// no system call. Time is the caller's: set_time() or advance_time() between cycles
// drives the slave's watchdog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tarnwick {

class VirtualSlave {
  public:
    enum class State : uint8_t { Reset = 0, Session = 1, Connection = 2, Parameter = 3, Data = 4 };
    // rx: the master's request into the slave's objects; tx: the slave's reply.
    enum class Direction : uint8_t { Rx, Tx };
    // The static map's answer to a change.
    enum class MapResult : uint8_t { Success = 0, InvalidValue = 1, Unavailable = 2 };

    // A request is taken into a zeroed buffer of this size; longer ones are refused.
    static constexpr std::size_t REQUEST_BUFFER_BYTES = 24;
    // Words of the reply area: a frame of at most 4 safe-data bytes.
    static constexpr unsigned REPLY_AREA_WORDS = 6;
    // The same for a wide slave (Settings::wide): a frame of 16 safe-data bytes is
    // 35 bytes, 18 words.
    static constexpr std::size_t WIDE_REQUEST_BUFFER_BYTES = 36;
    static constexpr unsigned WIDE_AREA_WORDS = 18;
    static constexpr unsigned MAX_SAFE_DATA_BYTES = 16;
    // Application objects and the data map (see set_data_map).
    static constexpr unsigned MAX_APPLICATION_OBJECTS = 256;
    static constexpr unsigned MAX_OBJECT_BITS = 32;
    static constexpr unsigned MAX_DATA_MAP_ITEMS = 128;
    // Items per direction of the static map.
    static constexpr unsigned MAX_MAP_ITEMS = 15;
    // A mapped item is 32 bits: the object key in bits 0-11, the padding flag in bit
    // 15, the size in bits 16-30 (low 8 used) and in bit 31 its format, one of:
    static constexpr unsigned SIZE_FORMAT_BYTES = 0;
    static constexpr unsigned SIZE_FORMAT_BITS = 1;
    static constexpr uint32_t ITEM_KEY_MASK = 0x0FFF;
    static constexpr unsigned ITEM_PADDING_SHIFT = 15;
    static constexpr unsigned ITEM_SIZE_SHIFT = 16;
    static constexpr unsigned ITEM_FORMAT_SHIFT = 31;

    struct Settings {
        uint16_t slave_address = 0x1234; // own address, restored by init() and start()
        uint32_t sra_crc = 0;            // the application parameter the master must send
        uint64_t random_seed = 1;        // state of the random source behind session ids
        uint32_t time_us = 0;            // the mock clock's start
        // 1, 2 or 4: a map carrying the STO status (object 0x040) in bit 0 of the first
        // safe-data byte each way is laid out and the slave started. 0: no map; set
        // one up and call start().
        unsigned safe_data_bytes = 0;
        // The areas of a 16-byte frame (WIDE_REQUEST_BUFFER_BYTES, WIDE_AREA_WORDS)
        // in place of REQUEST_BUFFER_BYTES and REPLY_AREA_WORDS. Frames above 4
        // safe-data bytes travel through a data map.
        bool wide = false;
    };

    // The answer to a change of the application objects or the data map.
    enum class ConfigResult : uint8_t {
        Ok = 0,
        ReservedKey,   // the key is one of the protocol's own objects
        DuplicateKey,  // an application object has that key already
        InvalidWidth,  // an object of 0 or more than MAX_OBJECT_BITS bits, an item of 0
        ValueTooWide,  // the value does not fit the object's width
        Full,          // MAX_APPLICATION_OBJECTS objects or MAX_DATA_MAP_ITEMS items
        NoObject,      // no object of that key
        WidthMismatch, // an item's width is not its object's, or the object is not mappable
        TooLarge,      // the map's items exceed MAX_SAFE_DATA_BYTES
        TooWide,       // the map's frame exceeds the slave's areas (not a wide slave)
        Running,       // the data map cannot change while the engine runs
    };

    // One item of a data map: `bits` bits of object `key`, or padding.
    struct DataItem {
        uint16_t key;
        uint16_t bits;
        bool padding;
    };

    // Replace what the engine reads from its surroundings; each function is called
    // with `context`. A null function leaves the slave's own mock in charge.
    struct Hooks {
        void* context = nullptr;
        uint32_t (*clock_us)(void* context) = nullptr;   // microseconds, wrapping at 2^32
        uint16_t (*session_id)(void* context) = nullptr; // the slave's next session id
        uint32_t (*sra_crc)(void* context) = nullptr;    // the SRA CRC expected
    };

    // An initialised slave; started when `settings` asks for a map. Throws
    // std::invalid_argument for a safe-data size other than 0, 1, 2 or 4.
    explicit VirtualSlave(const Settings& settings);
    VirtualSlave(); // with the default settings
    // A slave before its first init(), as the Python module holds it when loaded:
    // every object reads 0 and the map counts as invalid until init().
    static VirtualSlave uninitialised();

    ~VirtualSlave();
    VirtualSlave(VirtualSlave&&) noexcept; // the moved-from object may only be destroyed
    VirtualSlave& operator=(VirtualSlave&&) noexcept;
    VirtualSlave(const VirtualSlave&) = delete;
    VirtualSlave& operator=(const VirtualSlave&) = delete;

    // --- life cycle and the bus cycle ---
    // Objects to their initial values, the map cleared (unlocked, empty), the engine in
    // Reset. The clock, random source, SRA CRC and hooks keep their values.
    void init();
    // Validates the map; a valid one of at most REPLY_AREA_WORDS words is locked and
    // activates the engine. Returns whether it did; the state is kept either way.
    // With a data map the engine starts with it (both directions at least 1 byte,
    // within the areas) and the static map is left as it is.
    bool start();
    // Deactivates the engine (outputs to their safe value), unlocks the map, Reset.
    void stop();
    // Takes the master's request (missing bytes read as 0). False, and nothing taken,
    // when it is longer than REQUEST_BUFFER_BYTES (WIDE_REQUEST_BUFFER_BYTES when wide).
    bool set_request(const uint8_t* data, std::size_t length);
    // One engine step: the watchdog, then the pending request, then the reply.
    void process();
    // Writes the first `words` words of the reply area (at most REPLY_AREA_WORDS,
    // WIDE_AREA_WORDS when wide) to `out`, low byte first; returns the bytes written.
    std::size_t reply(uint8_t* out, unsigned words) const;
    // The reply frame: reply_words() words.
    std::size_t reply(uint8_t* out) const;
    // 0 until a successful start(); with a data map, the larger frame's words.
    unsigned frame_words() const;
    State state() const;

    // --- surroundings ---
    void set_time(uint32_t us);
    void advance_time(uint32_t us); // wraps at 2^32 like the clock
    uint32_t time() const;
    void seed_random(uint64_t seed);
    // Steps the random source: state = (state * 75241467858 + 12345) mod 45678, the
    // product wrapping at 2^64; returns the new state.
    uint16_t next_random();
    void set_sra_crc(uint32_t sra_crc);
    uint32_t sra_crc() const;
    void set_hooks(const Hooks& hooks);

    // --- object dictionary (keys as docs/brisel.md lists them) ---
    // Reads object `key` into `buffer` (at most `capacity` bytes, little-endian);
    // `size` receives its size in bytes, in words for the string. Returns 0 or an
    // abort code.
    uint32_t read_object(uint16_t key, uint8_t* buffer, std::size_t capacity,
                         uint16_t* size = nullptr) const;
    // Writes `size` bytes to object `key`; returns 0 or an abort code.
    uint32_t write_object(uint16_t key, const uint8_t* data, std::size_t size);
    // Writes a 32-bit object the rx map may carry, past its access rights as the rx
    // map does. False, and nothing written, for any other key.
    bool fast_write32(uint16_t key, uint32_t value);
    bool sto_status() const; // object 0x040

    // --- static map ---
    MapResult set_map_count(Direction direction, uint16_t count);
    MapResult set_map_item(Direction direction, uint16_t index, uint32_t item); // index 1..15
    uint16_t map_count(Direction direction) const;
    bool validate_map();        // resolves the items; neither locks nor limits the frame size
    void lock_map(bool locked); // unlocking sets the map's frame size to 0
    // The item carrying object `key` (or padding) over `size_bits` bits; a size too
    // large for the size field keeps its low 8 bits.
    static uint32_t map_item(uint16_t key, unsigned size_bits, bool padding = false);

    // --- application objects and the data map ---
    // An application object beside the protocol's own: `bits` (1 to 32) wide, an
    // unsigned value starting at `initial`; init() restores that value. The
    // protocol's keys are reserved.
    ConfigResult add_application_object(uint16_t key, unsigned bits, uint32_t initial);
    // The object's value; false, and `value` untouched, when no application object has `key`.
    bool application_value(uint16_t key, uint32_t& value) const;
    // Sets the object's value (NoObject, ValueTooWide, or Ok).
    ConfigResult set_application_value(uint16_t key, uint32_t value);
    // The data map of one direction, over the safe data alone (bit 0 of the first
    // byte on, least significant bit first): application objects of the item's
    // width, the STO status (0x040) on 1 bit, or padding. Its bit count rounded up
    // to bytes sizes that direction's frames (1 to 16 bytes; an odd size above 1
    // travels as the next even size). While either direction has a data map, start()
    // starts with them instead of the static map. On failure the map is empty and
    // `failed` receives the refused item's index. Kept by init(); refused (Running)
    // while the engine runs.
    ConfigResult set_data_map(Direction direction, const DataItem* items, std::size_t count,
                              std::size_t* failed = nullptr);
    unsigned data_map_bytes(Direction direction) const; // 0 without a data map
    // The words of the running engine's request and reply (0 until started); equal
    // to frame_words() unless a data map sizes them apart.
    unsigned request_words() const;
    unsigned reply_words() const;
    bool wide() const;

  private:
    struct Impl;
    struct Uninitialised {};
    explicit VirtualSlave(Uninitialised);
    std::unique_ptr<Impl> impl_;
};

} // namespace tarnwick
