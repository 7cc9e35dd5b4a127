#include "driver/host_binding.h"

OV_HOST g_host;
void* g_instance = nullptr;
void* g_application_record = nullptr;
OV_TIMER* g_host_timer = nullptr;
intptr_t g_registration = 0;
bool g_wait_cursor_loaded = false;

const char* host_settings_folder() {
  if (!g_application_record) return "";
  return static_cast<const char*>(g_application_record) + OV_APP_SETTINGS_FOLDER_OFFSET;
}
