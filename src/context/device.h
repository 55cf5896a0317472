// What the run knows about the device: storage kind, system kind, slots.
#pragma once

inline constexpr int FLASH_EMMC = 0;
inline constexpr int FLASH_NAND = 1;

extern int flash_type;    // 0 EMMC, 1 NAND, -1 detection failed
extern int ab_system;     // 1 A/B, 0 NR
extern int current_slot;  // 0 A, 1 B, 2 other answer, -1 tool failed
extern int target_slot;   // the slot change_slot activates

int get_flash_type();
// 1 on an A/B system; -1 when the slot tool gives nothing.
int get_ab_system();
int get_current_slot();
// Sets target_slot from current_slot: the slot that is not running.
void set_target_slot();
int change_slot();
// 1 in recovery, 0 in the normal system of the project variant, -1 otherwise.
int recovery_mode();
