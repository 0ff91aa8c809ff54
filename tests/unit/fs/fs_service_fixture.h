// The file service in process for its tests: a board root with a small card
// (one video, one photo), the transport and the service started on it, and the
// phone's requests as MAVLink messages.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "fs/fs_service.h"
#include "fs/udp_rtt.h"
#include "fs_test_phone.h"
#include "state/fs_stream.h"

namespace fs_service_fixture {

constexpr uint8_t kPhoneSys = 0x42;  // phone (4) to video board (2)

inline mavlink_message_t data_stream(uint8_t on) {
    mavlink_data_stream_t ds{};
    ds.on_off = on;
    mavlink_message_t msg;
    mavlink_msg_data_stream_pack(kPhoneSys, 0, 0, &ds, &msg);
    return msg;
}

inline mavlink_message_t list_request(uint8_t compid) {
    mavlink_param_request_list_t req{};
    mavlink_message_t msg;
    mavlink_msg_param_request_list_pack(kPhoneSys, compid, 0, &req, &msg);
    return msg;
}

inline mavlink_message_t resource(uint8_t uri_type, const std::string& uri, uint8_t transfer,
                                  const std::string& storage = "0") {
    mavlink_resource_request_t req{};
    req.uri_type = uri_type;
    memcpy(req.uri, uri.data(), std::min(uri.size(), sizeof req.uri));
    req.transfer_type = transfer;
    memcpy(req.storage, storage.data(), std::min(storage.size(), sizeof req.storage));
    mavlink_message_t msg;
    mavlink_msg_resource_request_pack(kPhoneSys, 0, 0, &req, &msg);
    return msg;
}

inline std::vector<uint8_t> frame_bytes(const mavlink_message_t& msg) {
    std::vector<uint8_t> out(MAVLINK_MAX_PACKET_LEN);
    out.resize(static_cast<size_t>(mavlink_msg_to_send_buffer(out, &msg)));
    return out;
}

class FileService : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"PIC", "VIDEO", "THUMB"}) {
            std::filesystem::create_directories(root_.path(std::string("/tmp/SD0/PLRMEDIA/") + d));
        }
        video_.assign(600000, '\0');
        for (size_t i = 0; i < video_.size(); ++i) video_[i] = static_cast<char>(i * 7 + i / 251);
        root_.write("/tmp/SD0/PLRMEDIA/VIDEO/CLIP0001.MP4", video_);
        root_.write("/tmp/SD0/PLRMEDIA/PIC/20260101/IMG_0001.JPG", "jpeg bytes");
        PLR_UDP_Init();
        PLR_FS_Init();
    }
    void TearDown() override {
        PLR_FS_Deinit();
        PLR_UDP_Deinit();
        fs_stream_reset();
    }
    void stream_off() {
        for (int i = 0; i < 200 && fs_is_stream_on() != 0; ++i) {
            if (i % 20 == 0) phone_.request(data_stream(0));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(fs_is_stream_on(), 0u);
    }
    // Every frame until `ms` of silence.
    std::vector<TestFrame> drain(int ms = 700) {
        std::vector<TestFrame> out;
        TestFrame f{};
        while (phone_.receive(&f, ms)) out.push_back(f);
        return out;
    }
    // Downloads `uri`: the answer texts in order and the data bytes.
    void download(uint8_t type, const std::string& uri, const std::string& storage,
                  std::vector<std::string>* texts, std::string* data) {
        phone_.request(resource(type, uri, 1, storage));
        for (const TestFrame& f : drain()) {
            if (f.payload[0] == 2) {
                data->append(f.payload.begin() + 1, f.payload.end());
            } else {
                texts->push_back(TestPhone::answer(f.payload));
            }
        }
    }
    std::map<std::string, std::string> card() const {
        std::map<std::string, std::string> files;
        for (const auto& e :
             std::filesystem::recursive_directory_iterator(root_.path("/tmp/SD0"))) {
            if (e.is_regular_file()) {
                std::ifstream in(e.path(), std::ios::binary);
                files[e.path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
            }
        }
        return files;
    }
    TempBoardRoot root_{{"/tmp/SD0"}};
    TestPhone phone_;
    std::string video_;
};

}  // namespace fs_service_fixture
