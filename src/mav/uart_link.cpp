#include "mav/uart_link.h"

#include <array>
#include <atomic>
#include <mutex>

#include "core/trace_log.h"
#include "mav/mavlink_msgs.h"

namespace {

std::mutex g_writeLock;  // one write at a time, so frames never interleave
std::atomic<UartWriter> g_writer{nullptr};
std::atomic<uint8_t> g_seq{0};
std::atomic<int32_t> g_distance{0};
std::atomic<bool> g_notConnectedLogged{false};

int uart_write(const uint8_t* bytes, size_t length) {
    const UartWriter writer = g_writer.load();
    if (writer == nullptr) {
        if (!g_notConnectedLogged.exchange(true))
            PLR_TRACE(PLR_LOG_D, "flight-controller link not connected");
        return 0;
    }
    std::lock_guard lock(g_writeLock);
    return writer(bytes, length);
}

}  // namespace

void uart_set_writer(UartWriter writer) {
    g_writer.store(writer);
}

int uart_mavlink_send(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> frame{};
    const int n = mavlink_msg_to_send_buffer(frame, msg);
    if (n < 0) return -1;
    return uart_write(frame.data(), static_cast<size_t>(n));
}

int uart_mavlink_send_buff(const uint8_t* bytes, int32_t length) {
    if (bytes == nullptr || length <= 0) return 0;
    return uart_write(bytes, static_cast<size_t>(length));
}

int uart_mavlink_command_long_send(uint8_t targetSystem, uint8_t targetComponent, uint16_t command,
                                   float p1, float p2, float p3, float p4, float p5, float p6,
                                   float p7) {
    const mavlink_command_long_t cmd{
        p1, p2, p3, p4, p5, p6, p7, command, targetSystem, targetComponent, 0};
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_FLYCTRL), 0,
                                  g_seq.fetch_add(1), &cmd, &msg);
    return uart_mavlink_send(&msg);
}

int uart_mavlink_camera_state_send(uint32_t state) {
    return uart_mavlink_command_long_send(100, 0, 2, static_cast<float>(state), 0, 0, 0, 0, 0, 0);
}

int uart_mavlink_camera_tlapse_send(float a, float b, float c, float d, float e, float f) {
    return uart_mavlink_command_long_send(100, 0, 2, 11.0F, a, b, c, d, e, f);
}

int uart_mavlink_local_position_ned_process(const mavlink_message_t* msg) {
    mavlink_local_position_ned_t pos{};
    if (mavlink_msg_local_position_ned_decode(msg, &pos) != 0) return -1;
    g_distance.store(static_cast<int32_t>(pos.x));
    return 0;
}

int32_t uart_get_cur_distance() {
    return g_distance.load();
}

void uart_link_reset() {
    g_writer.store(nullptr);
    g_seq.store(0);
    g_distance.store(0);
    g_notConnectedLogged.store(false);
}
