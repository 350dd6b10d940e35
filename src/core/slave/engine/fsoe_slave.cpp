#include "core/slave/engine/fsoe_slave.hpp"

#include "core/slave/dictionary/fsoe_dict.hpp"
#include "core/slave/dictionary/fsoe_static_map.hpp"

namespace brisel {

void fsoe_slave_init(const fsoe_engine_sources& sources) {
    fsoe_dict_init();
    fsoe_static_map_init(&fsoe_dict_interface());
    fsoe_engine_init(sources);
}

bool fsoe_slave_start() {
    // A frame above the request and reply areas cannot be exchanged at all.
    if (!fsoe_static_map_validate() || fsoe_static_map_frame_size() > FSOE_AREA_WORDS) {
        fsoe_static_map_unlock();
        return false;
    }
    fsoe_static_map_lock();
    fsoe_engine_start(fsoe_static_map_frame_size(), &fsoe_static_map_process_data_ops());
    return true;
}

void fsoe_slave_stop() {
    fsoe_engine_stop();
    fsoe_static_map_unlock();
}

} // namespace brisel
