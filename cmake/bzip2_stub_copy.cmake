# Writes the stub's copies of bzip2's decoder (bzlib.c, decompress.c and the bzlib_private.h they
# include) into a folder, from Debian's bzip2 source in third_party/bzip2: the stub builds them for
# size, and the fuzz tree against the library for the same bytes and refusals.

# The stub always decompresses with small = 0, and never meets a randomised block: libbzip2 has not
# written one since 0.9.5, and the stub reads only the package that the tool appended to it with
# libbzip2. Copies of the two files that test these flags, with every test made false, let the
# compiler drop the small-memory decoder (about 1.6 KB) and the derandomiser with its 512 random
# numbers (about 1 KB); the decoder refuses a randomised block as a data error. Each file must
# still hold the tests, so that a new bzip2 release cannot quietly bring the code back.
set(BZIP2_DEAD_TESTS "if (s->smallDecompress)" "if (s->blockRandomised)")
set(BZIP2_RANDOM_BIT "GET_BITS(BZ_X_RANDBIT, s->blockRandomised, 1);")
# What the copies (and huffman.c beside them) define, under names of their own: a program that links
# the library too, as the Windows tests do through the format library, must not mix the two, whose
# states differ. The first three are the stub's calls. The CRC table stays shared.
set(BZIP2_STUB_CALLS BZ2_bzDecompressInit BZ2_bzDecompress BZ2_bzDecompressEnd)
set(BZIP2_STUB_NAMES ${BZIP2_STUB_CALLS} BZ2_bzlibVersion BZ2_bzCompressInit BZ2_bzCompress BZ2_bzCompressEnd
  BZ2_bzBuffToBuffCompress BZ2_bzBuffToBuffDecompress BZ2_bz__AssertH__fail BZ2_indexIntoF BZ2_decompress
  BZ2_hbMakeCodeLengths BZ2_hbAssignCodes BZ2_hbCreateDecodeTables)
list(TRANSFORM BZIP2_STUB_CALLS REPLACE "^(.+)$" "\\1=stub_\\1" OUTPUT_VARIABLE BZIP2_STUB_CALL_RENAMES)
list(TRANSFORM BZIP2_STUB_NAMES REPLACE "^(.+)$" "\\1=stub_\\1" OUTPUT_VARIABLE BZIP2_STUB_RENAMES)

# The same steps as bzip2's GET_BITS: note the state's case label, take input bytes until n bits
# are held, or return -1 when the input ran out (the bytes taken stay held, and the label reads
# again). The label and n come in one number, which a caller loads with one instruction.
set(BZIP2_BIT_READER [=[
static Int32 stub_get_bits ( DState* s, Int32 label_n )
{
   bz_stream* strm = s->strm;
   Int32 n = label_n & 0xff;
   s->state = label_n >> 8;
   while (s->bsLive < n) {
      if (strm->avail_in == 0) return -1;
      s->bsBuff = (s->bsBuff << 8) | (UInt32)(*((UChar*)(strm->next_in)));
      s->bsLive += 8;
      strm->next_in++;
      strm->avail_in--;
      strm->total_in_lo32++;
      if (strm->total_in_lo32 == 0) strm->total_in_hi32++;
   }
   s->bsLive -= n;
   return (Int32)((s->bsBuff >> s->bsLive) & ((1 << n) - 1));
}

#define GET_BITS(lll,vvv,nnn)                     \
   case lll:                                      \
   {                                              \
      Int32 bits = stub_get_bits(s, (lll) << 8 | (nnn)); \
      if (bits < 0) RETURN(BZ_OK);                \
      vvv = bits;                                 \
   }

]=])
# The same runs as bzip2's unRLE_obuf_to_output_FAST, from the same bytes read in the same order
# with the same checks, as one plain loop instead of its hand-unrolled copy (192 bytes less on the
# i686 stub): up to four equal bytes, then a count of further ones after the fourth; a run stops
# at the block's end. A run's bytes go out in one tight loop over as many as there is room for,
# which keeps a difference body's long runs of zeros as fast as before.
set(BZIP2_RUN_DECODER [=[
Bool unRLE_obuf_to_output_FAST ( DState* s )
{
   UInt32  crc    = s->calculatedBlockCRC;
   UChar   ch     = s->state_out_ch;
   Int32   len    = s->state_out_len;
   Int32   used   = s->nblock_used;
   Int32   k0     = s->k0;
   UInt32* tt     = s->tt;
   UInt32  tPos   = s->tPos;
   UChar*  out    = (UChar*)s->strm->next_out;
   UInt32  avail  = s->strm->avail_out;
   UInt32  avail0 = avail;
   Int32   end    = s->save_nblock + 1;
   UInt32  limit  = (UInt32)100000 * (UInt32)s->blockSize100k;
   UInt32  k1;
   UInt32  n;
   UInt32  lo;

   while (True) {
      n = (UInt32)len < avail ? (UInt32)len : avail;
      len -= n;
      avail -= n;
      for (; n > 0; n--) {
         *out++ = ch;
         BZ_UPDATE_CRC ( crc, ch );
      }
      if (len > 0) goto save;
      if (used > end) return True;
      if (used == end) goto save;
      ch = k0;
      do {
         len++;
         if (tPos >= limit) return True;
         tPos = tt[tPos];
         k1 = tPos & 0xff;
         tPos >>= 8;
         used++;
         if (len == 4) {
            len += k1;
            if (tPos >= limit) return True;
            tPos = tt[tPos];
            k0 = tPos & 0xff;
            tPos >>= 8;
            used++;
            break;
         }
         if (k1 != k0) { k0 = k1; break; }
      } while (used != end);
   }

   save:
   lo = s->strm->total_out_lo32;
   s->strm->total_out_lo32 += avail0 - avail;
   if (s->strm->total_out_lo32 < lo) s->strm->total_out_hi32++;
   s->calculatedBlockCRC = crc;
   s->state_out_ch       = ch;
   s->state_out_len      = len;
   s->nblock_used        = used;
   s->k0                 = k0;
   s->tPos               = tPos;
   s->strm->next_out     = (char*)out;
   s->strm->avail_out    = avail;
   return False;
}


]=])
# The text of a copy from the first occurrence of FIRST to the end of the LAST that follows it;
# the configure fails when the source has no such span.
function(bzip2_span text first last out)
  string(FIND "${text}" "${first}" from)
  set(to -1)
  if(from GREATER -1)
    string(SUBSTRING "${text}" ${from} -1 rest)
    string(FIND "${rest}" "${last}" to)
  endif()
  if(to EQUAL -1)
    message(FATAL_ERROR "third_party/bzip2: no \"${first}\" ... \"${last}\" in the stub's copy of "
      "${name}; update cmake/bzip2_stub_copy.cmake for this bzip2 release")
  endif()
  string(LENGTH "${last}" length)
  math(EXPR length "${to} + ${length}")
  string(SUBSTRING "${rest}" 0 ${length} span)
  set(${out} "${span}" PARENT_SCOPE)
endfunction()

function(bzip2_stub_copy source_dir out_dir)
  if(NOT EXISTS ${source_dir}/bzlib.c)
    message(FATAL_ERROR "bzip2 source not found in third_party/bzip2: run scripts/setup.sh first")
  endif()
  foreach(name bzlib.c decompress.c)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source_dir}/${name})
    file(READ ${source_dir}/${name} text)
    foreach(test IN LISTS BZIP2_DEAD_TESTS)
      string(FIND "${text}" "${test}" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "third_party/bzip2/${name} has no \"${test}\": the stub's copy would keep "
          "code it never runs; update cmake/bzip2_stub_copy.cmake for this bzip2 release")
      endif()
      string(REPLACE "${test}" "if (0)" text "${text}")
    endforeach()
    if(name STREQUAL "decompress.c")
      # The decoder's locals that outlive a return (i ... gPerm) live in the state instead of being
      # copied out of it at every entry and back at every exit; the state's copy of
      # bzlib_private.h holds them near its start, where a one-byte displacement reaches them.
      bzip2_span("${text}" "   /* stuff that needs to be saved/restored */\n" "   Int32* gPerm;\n" locals)
      set(fields "")
      foreach(var i j t alphaSize nGroups nSelectors EOB groupNo groupPos nextSym nblockMAX nblock es N
                  curr zt zn zvec zj gSel gMinlen gLimit gBase gPerm)
        if(NOT locals MATCHES "Int32\\*? +${var};")
          message(FATAL_ERROR "third_party/bzip2/decompress.c: the decoder keeps no ${var}; update "
            "cmake/bzip2_stub_copy.cmake for this bzip2 release")
        endif()
        string(APPEND fields "#define ${var} (s->save_${var})\n")
      endforeach()
      string(REPLACE "${locals}" "${fields}" text "${text}")
      bzip2_span("${text}" "   i           = s->save_i;\n" "   gPerm       = s->save_gPerm;\n" restore)
      string(REPLACE "${restore}" "" text "${text}")
      bzip2_span("${text}" "   s->save_i           = i;\n" "   s->save_gPerm       = gPerm;\n" save)
      string(REPLACE "${save}" "" text "${text}")
      # The decoder reads a symbol at three places with a macro of some 200 bytes; the stub's copy
      # expands it once, in a block that the three jump to (the state's unused zt says where to go
      # back), and resumes an interrupted read there.
      set(symbol_reader "#define GET_MTF_VAL(label1,label2,lval)")
      set(symbol_reads "GET_MTF_VAL(BZ_X_MTF_1, BZ_X_MTF_2, nextSym);" "GET_MTF_VAL(BZ_X_MTF_3, BZ_X_MTF_4, nextSym);"
        "GET_MTF_VAL(BZ_X_MTF_5, BZ_X_MTF_6, nextSym);" "    endhdr_2:")
      foreach(anchor "${symbol_reader}" ${symbol_reads})
        string(FIND "${text}" "${anchor}" at)
        if(at EQUAL -1)
          message(FATAL_ERROR "third_party/bzip2/decompress.c has no \"${anchor}\"; update cmake/bzip2_stub_copy.cmake "
            "for this bzip2 release")
        endif()
      endforeach()
      string(REGEX MATCHALL "[^_]zt[^a-zA-Z_]" zt_uses "${text}")
      list(LENGTH zt_uses zt_uses)
      if(NOT zt_uses EQUAL 1)
        message(FATAL_ERROR "third_party/bzip2/decompress.c: the decoder uses zt; update cmake/bzip2_stub_copy.cmake "
          "for this bzip2 release")
      endif()
      string(REPLACE "${symbol_reader}" [=[#define GET_MTF_VAL(label1,label2,lval)           \
   { zt = label1; goto read_symbol; back_##label1: ; }

#define READ_SYMBOL(label1,label2,lval)]=] text "${text}")
      string(REPLACE "    endhdr_2:" [=[    read_symbol:
      READ_SYMBOL(BZ_X_MTF_1, BZ_X_MTF_2, nextSym);
      if (zt == BZ_X_MTF_1) goto back_BZ_X_MTF_1;
      if (zt == BZ_X_MTF_3) goto back_BZ_X_MTF_3;
      goto back_BZ_X_MTF_5;

    endhdr_2:]=] text "${text}")
      # The save area, whose fields lie together in the state's copy, is cleared in one go.
      bzip2_span("${text}" "      /*initialise the save area*/\n" "      s->save_gPerm       = NULL;\n" clear)
      string(CONCAT clear_new "      __builtin_memset(&s->save_i, 0,\n"
        "                       (char*)(&s->save_gPerm + 1) - (char*)&s->save_i);\n")
      string(REPLACE "${clear}" "${clear_new}" text "${text}")
      # A symbol's move to the front of its list of 16 goes a byte at a time, without the copy of
      # the loop unrolled four times.
      bzip2_span("${text}" "                  while (nn > 3) {\n"
        "                     nn -= 4;\n                  }\n" unrolled)
      if(NOT unrolled MATCHES "s->mtfa\\[\\(z\\)-3\\] = s->mtfa\\[\\(z\\)-4\\];")
        message(FATAL_ERROR "third_party/bzip2/decompress.c: its move to front is not the one the stub's copy "
          "shortens; update cmake/bzip2_stub_copy.cmake for this bzip2 release")
      endif()
      string(REPLACE "${unrolled}" "" text "${text}")
      # The checksums and the origin pointer, which no byte of them can make wrong, are read 16 and
      # 24 bits at a time instead of a byte at a time: the same bits from the same input bytes.
      foreach(field storedBlockCRC:BCRC:UInt32 storedCombinedCRC:CCRC:UInt32 origPtr:ORIGPTR:Int32)
        string(REPLACE ":" ";" field "${field}")
        list(GET field 0 member)
        list(GET field 1 label)
        list(GET field 2 type)
        set(last 4)
        if(label STREQUAL "ORIGPTR")
          set(last 3)
        endif()
        string(CONCAT last_read "      GET_UCHAR(BZ_X_${label}_${last}, uc);\n"
          "      s->${member} = (s->${member} << 8) | ((${type})uc);\n")
        bzip2_span("${text}" "      s->${member} = 0;\n" "${last_read}" bytes)
        string(REGEX MATCHALL "GET_UCHAR" reads "${bytes}")
        list(LENGTH reads reads)
        if(NOT reads EQUAL last)
          message(FATAL_ERROR "third_party/bzip2/decompress.c: ${member} is not read a byte at a time; update "
            "cmake/bzip2_stub_copy.cmake for this bzip2 release")
        endif()
        if(last EQUAL 3)
          string(REPLACE "${bytes}" "      GET_BITS(BZ_X_${label}_1, s->${member}, 24);\n" text "${text}")
        else()
          string(CONCAT halves "      GET_BITS(BZ_X_${label}_1, s->${member}, 16);\n"
            "      GET_BITS(BZ_X_${label}_2, j, 16);\n"
            "      s->${member} = (s->${member} << 16) | j;\n")
          string(REPLACE "${bytes}" "${halves}" text "${text}")
        endif()
      endforeach()
      # The five bytes that follow a block's or the end's first one are read by one loop over them
      # instead of five reads: the same bytes, each refused as it comes.
      foreach(header "BLKHDR:41;59;26;53;59" "ENDHDR:72;45;38;50;90")
        string(REPLACE ":" ";" header "${header}")
        list(POP_FRONT header label)
        set(reads "")
        set(number 2)
        foreach(byte IN LISTS header)
          string(APPEND reads "      GET_UCHAR(BZ_X_${label}_${number}, uc);\n"
            "      if (uc != 0x${byte}) RETURN(BZ_DATA_ERROR);\n")
          math(EXPR number "${number} + 1")
        endforeach()
        string(FIND "${text}" "${reads}" at)
        if(at EQUAL -1)
          message(FATAL_ERROR "third_party/bzip2/decompress.c: the ${label} bytes are not read one by one; update "
            "cmake/bzip2_stub_copy.cmake for this bzip2 release")
        endif()
        list(JOIN header "\\x" bytes)
        string(CONCAT loop "      for (i = 0; i < 5; i++) {\n"
          "         GET_UCHAR(BZ_X_${label}_2, uc);\n"
          "         if (uc != (UChar)\"\\x${bytes}\"[i]) RETURN(BZ_DATA_ERROR);\n"
          "      }\n")
        string(REPLACE "${reads}" "${loop}" text "${text}")
      endforeach()
      # The decoder's bit reader is a macro that the decoder expands at each of its 40-odd reads;
      # the stub's copy calls one procedure that does the same instead (about 2 KB less).
      string(REGEX MATCH "#define GET_BITS\\(lll,vvv,nnn\\)[^#]*" reader "${text}")
      if(NOT reader MATCHES "bsLive >= nnn" OR NOT reader MATCHES "RETURN\\(BZ_OK\\)")
        message(FATAL_ERROR "third_party/bzip2/decompress.c: its GET_BITS is not the reader the stub's copy "
          "replaces; update cmake/bzip2_stub_copy.cmake for this bzip2 release")
      endif()
      string(REPLACE "${reader}" "${BZIP2_BIT_READER}" text "${text}")
      string(FIND "${text}" "${BZIP2_RANDOM_BIT}" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "third_party/bzip2/decompress.c has no \"${BZIP2_RANDOM_BIT}\"; update "
          "cmake/bzip2_stub_copy.cmake for this bzip2 release")
      endif()
      string(REPLACE "${BZIP2_RANDOM_BIT}" "${BZIP2_RANDOM_BIT} if (s->blockRandomised) RETURN(BZ_DATA_ERROR);"
        text "${text}")
    endif()
    if(name STREQUAL "bzlib.c")
      bzip2_span("${text}" "Bool unRLE_obuf_to_output_FAST ( DState* s )" "__inline__ Int32 BZ2_indexIntoF" decoder)
      string(REPLACE "__inline__ Int32 BZ2_indexIntoF" "" decoder "${decoder}")
      if(NOT decoder MATCHES "c_state_out_len = \\(\\(Int32\\)k1\\) \\+ 4;"
         OR NOT decoder MATCHES "BZ_GET_FAST_C\\(c_k0\\)")
        message(FATAL_ERROR "third_party/bzip2/bzlib.c: its unRLE_obuf_to_output_FAST is not the run decoder "
          "the stub's copy replaces; update cmake/bzip2_stub_copy.cmake for this bzip2 release")
      endif()
      string(REPLACE "${decoder}" "${BZIP2_RUN_DECODER}" text "${text}")
    endif()
    file(WRITE ${out_dir}/${name}.new "${text}")
    # Rewritten only when it changes, so that a configure alone rebuilds nothing.
    configure_file(${out_dir}/${name}.new ${out_dir}/${name} COPYONLY)
  endforeach()
  # The copies include this copy of bzlib_private.h, found first beside them, in which the decoder's
  # saved locals follow the state's first two fields; huffman.c, built from the source, has no use
  # for the state.
  set(name bzlib_private.h)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source_dir}/${name})
  file(READ ${source_dir}/${name} text)
  bzip2_span("${text}" "      /* save area for scalars in the main decompress code */\n"
    "      Int32*   save_gPerm;\n" fields)
  string(REPLACE "${fields}" "" text "${text}")
  bzip2_span("${text}" "      /* state indicator for this stream */\n" "      Int32    state;\n" state)
  string(REPLACE "${state}" "${state}\n${fields}" text "${text}")
  file(WRITE ${out_dir}/${name}.new "${text}")
  configure_file(${out_dir}/${name}.new ${out_dir}/${name} COPYONLY)
endfunction()
