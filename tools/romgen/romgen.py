#!/usr/bin/env python3
"""Writes the three test cartridges that the real-core tests run: an NES
cartridge (iNES, mapper 0), a Game Boy Color cartridge and a Game Boy Advance
cartridge. No game can be downloaded, so the tests bring their own.

Every cartridge does the same thing, so one test can judge all three: from
its first frames the whole screen is red, after 60 frames of its own counting
(about one second) the whole screen turns blue, and from the start to the end
it plays a steady square tone of about 440 Hz. The change is timed by the
cartridge itself, not by a button: the host answers joypad queries with 0.

The programs are hand-assembled. Each instruction is written as its bytes next
to its mnemonic; the mnemonic is also what `--listing` prints. Usage:

    romgen.py OUTPUT_FOLDER          writes kalmo_test.nes, .gb and .gba
    romgen.py --listing              prints the three programs
"""
import os
import sys

ROM_NAMES = ("kalmo_test.nes", "kalmo_test.gb", "kalmo_test.gba")


class Code:
    """Machine code placed at a base address, with labels for jumps."""

    def __init__(self, base):
        self.base = base
        self.bytes = bytearray()
        self.labels = {}
        self.patches = []   # (offset, length of the instruction, label, encoding)
        self.listing = []   # (address, bytes, mnemonic)

    def here(self):
        return self.base + len(self.bytes)

    def label(self, name):
        self.labels[name] = self.here()
        self.listing.append([self.here(), b"", name + ":"])

    def op(self, mnemonic, *data):
        self.listing.append([self.here(), bytes(data), mnemonic])
        self.bytes += bytes(data)

    def op_to(self, mnemonic, label, how, *data):
        """An instruction whose last operand is the address of a label."""
        self.patches.append((len(self.bytes), len(data), label, how))
        self.op(mnemonic, *data)

    def word(self, mnemonic, value):
        self.op(mnemonic, *value.to_bytes(4, "little"))

    def link(self):
        for offset, length, label, how in self.patches:
            target = self.labels[label]
            start = self.base + offset
            if how == "abs16":      # little-endian absolute address, last 2 bytes
                self.bytes[offset + length - 2:offset + length] = target.to_bytes(2, "little")
            elif how == "rel8":     # signed byte, counted from the next instruction
                delta = target - (start + length)
                assert -128 <= delta <= 127, label
                self.bytes[offset + length - 1] = delta & 0xFF
            elif how == "arm_branch":   # word offset counted from the instruction + 8
                delta = (target - (start + 8)) >> 2
                value = int.from_bytes(self.bytes[offset:offset + 4], "little")
                value |= delta & 0xFFFFFF
                self.bytes[offset:offset + 4] = value.to_bytes(4, "little")
            elif how == "arm_literal":  # LDR rd, [pc, #offset]
                delta = target - (start + 8)
                assert 0 <= delta < 4096, label
                value = int.from_bytes(self.bytes[offset:offset + 4], "little") | delta
                self.bytes[offset:offset + 4] = value.to_bytes(4, "little")
        for entry in self.listing:
            offset = entry[0] - self.base
            entry[1] = bytes(self.bytes[offset:offset + len(entry[1])])
        return bytes(self.bytes)

    def print_listing(self, title):
        print(f"; {title}")
        for address, data, mnemonic in self.listing:
            if data:
                print(f"{address:08X}  {data.hex(' ').upper():<12}    {mnemonic}")
            else:
                print(f"{address:08X}  {'':<12}  {mnemonic}")


def lo(value):
    return value & 0xFF


def hi(value):
    return value >> 8


# --- NES: 6502 program in a 16 KiB PRG-ROM at $C000, blank 8 KiB CHR-ROM ---
#
# With every tile of the CHR-ROM blank, the whole picture is the universal
# background colour (palette entry $3F00), so one palette write paints the
# screen. Colours are NES palette numbers: $16 red, $12 blue.
NES_RED, NES_BLUE = 0x16, 0x12


def nes_program():
    a = Code(0xC000)
    a.label("reset")
    a.op("SEI", 0x78)
    a.op("CLD", 0xD8)
    a.op("LDX #$FF", 0xA2, 0xFF)
    a.op("TXS", 0x9A)
    a.op("INX", 0xE8)                       # X = 0
    a.op("STX $2000      ; no NMI yet", 0x8E, 0x00, 0x20)
    a.op("STX $2001      ; rendering off", 0x8E, 0x01, 0x20)
    a.op("STX $00        ; frame counter", 0x86, 0x00)
    # The PPU ignores writes until it has seen two vertical blanks.
    a.label("warm1")
    a.op("BIT $2002", 0x2C, 0x02, 0x20)
    a.op_to("BPL warm1", "warm1", "rel8", 0x10, 0)
    a.label("warm2")
    a.op("BIT $2002", 0x2C, 0x02, 0x20)
    a.op_to("BPL warm2", "warm2", "rel8", 0x10, 0)
    a.op(f"LDA #${NES_RED:02X}       ; red", 0xA9, NES_RED)
    a.op_to("JSR set_backdrop", "set_backdrop", "abs16", 0x20, 0, 0)
    # Pulse 1: 50 % duty, constant volume 15, length counter halted, no
    # sweep, timer 253: 1789773 / (16 * 254) = 440 Hz.
    a.op("LDA #$01", 0xA9, 0x01)
    a.op("STA $4015      ; enable pulse 1", 0x8D, 0x15, 0x40)
    a.op("LDA #$BF", 0xA9, 0xBF)
    a.op("STA $4000      ; duty 2, halt, constant volume 15", 0x8D, 0x00, 0x40)
    a.op("LDA #$08", 0xA9, 0x08)
    a.op("STA $4001      ; sweep off", 0x8D, 0x01, 0x40)
    a.op("LDA #$FD", 0xA9, 0xFD)
    a.op("STA $4002      ; timer low", 0x8D, 0x02, 0x40)
    a.op("LDA #$00", 0xA9, 0x00)
    a.op("STA $4003      ; timer high, starts the note", 0x8D, 0x03, 0x40)
    a.op("LDA #$80", 0xA9, 0x80)
    a.op("STA $2000      ; NMI at each vertical blank", 0x8D, 0x00, 0x20)
    a.op("LDA #$0A", 0xA9, 0x0A)
    a.op("STA $2001      ; background on, left column too", 0x8D, 0x01, 0x20)
    a.label("idle")
    a.op_to("JMP idle", "idle", "abs16", 0x4C, 0, 0)

    a.label("nmi")
    a.op("INC $00", 0xE6, 0x00)
    a.op("LDA $00", 0xA5, 0x00)
    a.op("CMP #60", 0xC9, 60)
    a.op_to("BNE done", "done", "rel8", 0xD0, 0)
    a.op(f"LDA #${NES_BLUE:02X}       ; blue", 0xA9, NES_BLUE)
    a.op_to("JSR set_backdrop", "set_backdrop", "abs16", 0x20, 0, 0)
    a.label("done")
    a.op("RTI", 0x40)

    # A = colour. Ends with the PPU address at $0000, which also resets the
    # scroll for the next frame and keeps the address out of the palette.
    a.label("set_backdrop")
    a.op("LDX #$3F", 0xA2, 0x3F)
    a.op("STX $2006", 0x8E, 0x06, 0x20)
    a.op("LDX #$00", 0xA2, 0x00)
    a.op("STX $2006", 0x8E, 0x06, 0x20)
    a.op("STA $2007      ; palette entry $3F00", 0x8D, 0x07, 0x20)
    a.op("STX $2006", 0x8E, 0x06, 0x20)
    a.op("STX $2006", 0x8E, 0x06, 0x20)
    a.op("RTS", 0x60)
    return a


def nes_rom(program):
    code = program.link()
    prg = bytearray(16384)
    prg[:len(code)] = code
    # Vectors at $FFFA: NMI, RESET, IRQ (IRQs stay masked; RTI if one comes).
    for offset, name in ((0x3FFA, "nmi"), (0x3FFC, "reset"), (0x3FFE, "done")):
        prg[offset:offset + 2] = program.labels[name].to_bytes(2, "little")
    # iNES header: magic, 1 x 16 KiB PRG, 1 x 8 KiB CHR, mapper 0, rest zero.
    header = b"NES\x1a" + bytes([1, 1, 0, 0]) + bytes(8)
    return header + bytes(prg) + bytes(8192)


# --- Game Boy Color: SM83 program in a 32 KiB ROM-only cartridge ---------
#
# The cartridge asks for Color mode and paints all four colours of all eight
# background palettes the same, so whatever tiles the screen holds, every
# pixel has that colour. Colours are 15-bit BGR: $001F red, $7C00 blue.
GB_RED, GB_BLUE = 0x001F, 0x7C00
NINTENDO_LOGO = bytes.fromhex(
    "CEED6666CC0D000B03730083000C000D0008111F8889000E"
    "DCCC6EE6DDDDD999BBBB67636E0EECCCDDDC999FBBB9333E")


def gb_program():
    a = Code(0x0150)
    a.label("start")
    a.op("DI", 0xF3)
    a.op("LD SP,$FFFE", 0x31, 0xFE, 0xFF)
    # Square channel 2: 50 % duty, volume 15 without envelope, frequency
    # register 1750: 131072 / (2048 - 1750) = 440 Hz.
    for value, register, meaning in (
            (0x80, 0x26, "NR52: sound on"),
            (0x77, 0x24, "NR50: full volume both sides"),
            (0x22, 0x25, "NR51: channel 2 to both sides"),
            (0x80, 0x16, "NR21: 50 % duty"),
            (0xF0, 0x17, "NR22: volume 15, no envelope"),
            (0xD6, 0x18, "NR23: frequency low"),
            (0x86, 0x19, "NR24: trigger, frequency high")):
        a.op(f"LD A,${value:02X}", 0x3E, value)
        a.op(f"LDH (${register:02X}),A   ; {meaning}", 0xE0, register)
    a.op(f"LD DE,${GB_RED:04X}   ; red", 0x11, lo(GB_RED), hi(GB_RED))
    a.op_to("CALL set_palettes", "set_palettes", "abs16", 0xCD, 0, 0)
    a.op("LD B,60", 0x06, 60)
    a.label("delay")
    a.op_to("CALL next_frame", "next_frame", "abs16", 0xCD, 0, 0)
    a.op("DEC B", 0x05)
    a.op_to("JR NZ,delay", "delay", "rel8", 0x20, 0)
    a.op(f"LD DE,${GB_BLUE:04X}   ; blue", 0x11, lo(GB_BLUE), hi(GB_BLUE))
    a.op_to("CALL set_palettes", "set_palettes", "abs16", 0xCD, 0, 0)
    a.label("idle")
    a.op_to("JR idle", "idle", "rel8", 0x18, 0)

    # Returns when LY (the line being drawn) becomes 144: vertical blank.
    a.label("next_frame")
    a.op("LDH A,($44)", 0xF0, 0x44)
    a.op("CP 144", 0xFE, 144)
    a.op_to("JR Z,next_frame", "next_frame", "rel8", 0x28, 0)
    a.label("wait_blank")
    a.op("LDH A,($44)", 0xF0, 0x44)
    a.op("CP 144", 0xFE, 144)
    a.op_to("JR NZ,wait_blank", "wait_blank", "rel8", 0x20, 0)
    a.op("RET", 0xC9)

    # DE = colour. Palette memory only takes writes outside drawing, so the
    # 64 bytes go in at the start of a vertical blank.
    a.label("set_palettes")
    a.op_to("CALL next_frame", "next_frame", "abs16", 0xCD, 0, 0)
    a.op("LD A,$80", 0x3E, 0x80)
    a.op("LDH ($68),A   ; BCPS: entry 0, auto-increment", 0xE0, 0x68)
    a.op("LD C,32", 0x0E, 32)
    a.label("fill")
    a.op("LD A,E", 0x7B)
    a.op("LDH ($69),A   ; BCPD: low byte", 0xE0, 0x69)
    a.op("LD A,D", 0x7A)
    a.op("LDH ($69),A   ; BCPD: high byte", 0xE0, 0x69)
    a.op("DEC C", 0x0D)
    a.op_to("JR NZ,fill", "fill", "rel8", 0x20, 0)
    a.op("RET", 0xC9)
    return a


def gb_rom(program):
    rom = bytearray(32768)
    rom[0x100:0x104] = bytes([0x00, 0xC3, 0x50, 0x01])     # NOP; JP $0150
    rom[0x104:0x134] = NINTENDO_LOGO
    rom[0x134:0x13E] = b"KALMO TEST"
    rom[0x143] = 0xC0       # Color only
    rom[0x147] = 0x00       # ROM only, no mapper
    rom[0x148] = 0x00       # 32 KiB
    rom[0x149] = 0x00       # no cartridge RAM
    rom[0x14A] = 0x01       # sold outside Japan
    # Header checksum, checked by the boot program: x = x - byte - 1.
    check = 0
    for byte in rom[0x134:0x14D]:
        check = (check - byte - 1) & 0xFF
    rom[0x14D] = check
    code = program.link()
    rom[0x150:0x150 + len(code)] = code
    # Global checksum (not checked by the hardware): sum of every other byte.
    total = (sum(rom) - rom[0x14E] - rom[0x14F]) & 0xFFFF
    rom[0x14E:0x150] = total.to_bytes(2, "big")
    return bytes(rom)


# --- Game Boy Advance: ARM program at $08000000 ----------------------------
#
# Mode 0 with no layer enabled shows only the backdrop, palette entry 0, so
# one 16-bit write paints the screen. The tone is the Game Boy square channel
# 2 again, through the GBA's sound registers.
GBA_RED, GBA_BLUE = 0x001F, 0x7C00


def arm_immediate(value):
    """Rotation and byte of an ARM operand-2 immediate."""
    for rotate in range(16):
        byte = ((value << 2 * rotate) | (value >> (32 - 2 * rotate))) & 0xFFFFFFFF
        if byte < 256:
            return rotate << 8 | byte
    raise ValueError(f"{value:#x} is not an ARM immediate")


def arm_data(opcode, set_flags, rn, rd, value):
    # cond 00 1 opcode S Rn Rd rotate imm8
    return (0xE << 28 | 1 << 25 | opcode << 21 | set_flags << 20 | rn << 16 | rd << 12
            | arm_immediate(value))


def arm_transfer(base, rd, rn, offset):
    # STR/LDR (base 0xE5800000 / 0xE5900000): cond 01 P U B W L Rn Rd imm12;
    # STRH/LDRH (0xE1C000B0 / 0xE1D000B0): imm8 split around 1011.
    if base & 0x0C000000:
        return base | rn << 16 | rd << 12 | offset
    return base | rn << 16 | rd << 12 | (offset >> 4) << 8 | (offset & 0xF)


def arm_branch(condition):
    # cond 1010 offset24; the offset is filled in when the code is linked.
    return ({"EQ": 0x0, "NE": 0x1, "AL": 0xE}[condition] << 28 | 0xA << 24).to_bytes(4, "little")


STR, STRH, LDRH, LDR_PC = 0xE5800000, 0xE1C000B0, 0xE1D000B0, 0xE59F0000
MOV, SUB, CMP = 0xD, 0x2, 0xA


def gba_program():
    a = Code(0x080000C0)
    literals = []
    io, palette = 0x04000000, 0x05000000

    def load(rd, value, meaning):
        literals.append(value)
        a.op_to(f"LDR r{rd},=0x{value:08X}   ; {meaning}", f"literal{len(literals) - 1}",
                "arm_literal", *(LDR_PC | rd << 12).to_bytes(4, "little"))

    a.label("start")
    a.word("MOV r0,#0x04000000   ; I/O registers", arm_data(MOV, 0, 0, 0, io))
    a.word("MOV r1,#0", arm_data(MOV, 0, 0, 1, 0))
    a.word("STR r1,[r0]          ; DISPCNT: mode 0, no layer", arm_transfer(STR, 1, 0, 0))
    a.word("MOV r1,#0x80", arm_data(MOV, 0, 0, 1, 0x80))
    a.word("STR r1,[r0,#0x84]    ; SOUNDCNT_X: sound on", arm_transfer(STR, 1, 0, 0x84))
    load(1, 0x00022277, "channel 2 both sides, volume 7, PSG 100 %")
    a.word("STR r1,[r0,#0x80]    ; SOUNDCNT_L and SOUNDCNT_H", arm_transfer(STR, 1, 0, 0x80))
    load(1, 0x0000F080, "volume 15, no envelope, 50 % duty")
    a.word("STR r1,[r0,#0x68]    ; SOUND2CNT_L", arm_transfer(STR, 1, 0, 0x68))
    load(1, 0x000086D6, "restart, 131072 / (2048 - 1750) = 440 Hz")
    a.word("STR r1,[r0,#0x6C]    ; SOUND2CNT_H", arm_transfer(STR, 1, 0, 0x6C))
    a.word("MOV r2,#0x05000000   ; palette memory", arm_data(MOV, 0, 0, 2, palette))
    a.word(f"MOV r1,#0x{GBA_RED:04X}      ; red", arm_data(MOV, 0, 0, 1, GBA_RED))
    a.word("STRH r1,[r2]         ; backdrop", arm_transfer(STRH, 1, 2, 0))
    a.word("MOV r3,#60", arm_data(MOV, 0, 0, 3, 60))
    # One frame: wait until VCOUNT leaves line 160, then until it is 160
    # again (the first line of the vertical blank).
    a.label("delay")
    a.word("LDRH r1,[r0,#6]      ; VCOUNT", arm_transfer(LDRH, 1, 0, 6))
    a.word("CMP r1,#160", arm_data(CMP, 1, 1, 0, 160))
    a.op_to("BEQ delay", "delay", "arm_branch", *arm_branch("EQ"))
    a.label("wait_blank")
    a.word("LDRH r1,[r0,#6]      ; VCOUNT", arm_transfer(LDRH, 1, 0, 6))
    a.word("CMP r1,#160", arm_data(CMP, 1, 1, 0, 160))
    a.op_to("BNE wait_blank", "wait_blank", "arm_branch", *arm_branch("NE"))
    a.word("SUBS r3,r3,#1", arm_data(SUB, 1, 3, 3, 1))
    a.op_to("BNE delay", "delay", "arm_branch", *arm_branch("NE"))
    a.word(f"MOV r1,#0x{GBA_BLUE:04X}    ; blue", arm_data(MOV, 0, 0, 1, GBA_BLUE))
    a.word("STRH r1,[r2]         ; backdrop", arm_transfer(STRH, 1, 2, 0))
    a.label("idle")
    a.op_to("B idle", "idle", "arm_branch", *arm_branch("AL"))
    for index, value in enumerate(literals):
        a.label(f"literal{index}")
        a.word(f".word 0x{value:08X}", value)
    return a


def gba_rom(program):
    rom = bytearray(0xC0)
    # B start: the cartridge entry point at $08000000 jumps over the header.
    rom[0:4] = (0xEA000000 | ((0xC0 - 8) >> 2)).to_bytes(4, "little")
    # The logo at $04-$9F stays zero: only the real BIOS checks it, and the
    # core runs without that BIOS.
    rom[0xA0:0xAC] = b"KALMO TEST\0\0"
    rom[0xAC:0xB0] = b"KTST"        # game code
    rom[0xB0:0xB2] = b"00"          # maker code
    rom[0xB2] = 0x96                # fixed value
    # Complement check over $A0-$BC.
    rom[0xBD] = (-(sum(rom[0xA0:0xBD]) + 0x19)) & 0xFF
    return bytes(rom) + program.link()


def main(argv):
    programs = (("NES", nes_program(), nes_rom), ("Game Boy Color", gb_program(), gb_rom),
                ("Game Boy Advance", gba_program(), gba_rom))
    if argv[1:] == ["--listing"]:
        for title, program, build in programs:
            build(program)
            program.print_listing(title)
        return 0
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    os.makedirs(argv[1], exist_ok=True)
    for name, (_, program, build) in zip(ROM_NAMES, programs):
        with open(os.path.join(argv[1], name), "wb") as out:
            out.write(build(program))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
